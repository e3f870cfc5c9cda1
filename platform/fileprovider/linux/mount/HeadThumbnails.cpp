#include "platform/fileprovider/linux/mount/HeadThumbnails.h"

#include <fcntl.h>
#include <jpeglib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <future>
#include <thread>

#include "platform/fileprovider/linux/core/DomainFilesystem.h"
#include "platform/fileprovider/linux/mount/ThumbnailReaders.h"

namespace lumora::fuse {

namespace {

// The freedesktop "normal" size.
constexpr uint32_t kNormalSize = 128;
constexpr const char* kSoftware = "Lumora head thumbnail";
// Larger than any camera's thumbnail: a bigger picture is not one.
constexpr uint32_t kMaxThumbnailSide = 1024;

// Reads of fixed-size numbers in the byte order the TIFF header names,
// each checked against the end of the bytes.
struct Tiff {
  std::string_view bytes;
  bool little = true;

  std::optional<uint32_t> number(size_t at, size_t size) const {
    if (at > bytes.size() || bytes.size() - at < size) return std::nullopt;
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) {
      auto byte = static_cast<uint8_t>(bytes[little ? at + size - 1 - i : at + i]);
      value = value << 8 | byte;
    }
    return value;
  }
  std::optional<uint32_t> u16(size_t at) const { return number(at, 2); }
  std::optional<uint32_t> u32(size_t at) const { return number(at, 4); }
};

constexpr uint32_t kOrientation = 0x0112;
constexpr uint32_t kThumbnailOffset = 0x0201;
constexpr uint32_t kThumbnailLength = 0x0202;

// Calls `seen(tag, value)` for each entry of the folder (IFD) at `at` with
// a number that fits its value field; yields where the next folder is.
template <class Seen>
std::optional<uint32_t> walkFolder(const Tiff& tiff, uint32_t at, Seen&& seen) {
  auto count = tiff.u16(at);
  if (!count) return std::nullopt;
  for (uint32_t i = 0; i < *count; ++i) {
    size_t entry = size_t{at} + 2 + size_t{i} * 12;
    auto tag = tiff.u16(entry), type = tiff.u16(entry + 2);
    if (!tag || !type) return std::nullopt;
    // SHORT or LONG, as these tags are written.
    auto value = *type == 3 ? tiff.u16(entry + 8) : *type == 4 ? tiff.u32(entry + 8) : std::nullopt;
    if (value) seen(*tag, *value);
  }
  return tiff.u32(size_t{at} + 2 + size_t{*count} * 12);
}

std::optional<ExifThumbnail> fromExif(std::string_view tiffBytes) {
  Tiff tiff{tiffBytes};
  if (tiffBytes.starts_with("MM")) {
    tiff.little = false;
  } else if (!tiffBytes.starts_with("II")) {
    return std::nullopt;
  }
  if (tiff.u16(2) != 42u) return std::nullopt;
  auto first = tiff.u32(4);
  if (!first) return std::nullopt;
  ExifThumbnail found;
  auto second = walkFolder(tiff, *first, [&](uint32_t tag, uint32_t value) {
    if (tag == kOrientation && value >= 1 && value <= 8)
      found.orientation = static_cast<int>(value);
  });
  // The thumbnail's folder follows the picture's; a loop back is not one.
  if (!second || *second == 0 || *second == *first) return std::nullopt;
  std::optional<uint32_t> offset, length;
  walkFolder(tiff, *second, [&](uint32_t tag, uint32_t value) {
    if (tag == kThumbnailOffset) offset = value;
    if (tag == kThumbnailLength) length = value;
  });
  if (!offset || !length || *offset > tiffBytes.size() || tiffBytes.size() - *offset < *length) {
    return std::nullopt;
  }
  found.jpeg = tiffBytes.substr(*offset, *length);
  if (!found.jpeg.starts_with("\xFF\xD8")) return std::nullopt;
  return found;
}

struct JpegFailure {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

// libjpeg gives no other way out of a failed decode: an error handler must
// not return.
void failJpeg(j_common_ptr info) {
  // NOLINTNEXTLINE(cert-err52-cpp)
  std::longjmp(reinterpret_cast<JpegFailure*>(info->err)->jump, 1);
}

void ignoreJpegMessage(j_common_ptr) {}

// Kept apart from anything with a destructor: a decoding error leaves
// libjpeg by a long jump back to here.
bool decodeInto(std::string_view jpeg, Picture& picture) {
  jpeg_decompress_struct info{};
  JpegFailure failure{};
  info.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = failJpeg;
  failure.manager.output_message = ignoreJpegMessage;
  if (setjmp(failure.jump)) {  // NOLINT(cert-err52-cpp): see failJpeg
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(jpeg.data()),
               static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  if (info.image_width == 0 || info.image_height == 0 || info.image_width > kMaxThumbnailSide ||
      info.image_height > kMaxThumbnailSide) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  picture.width = info.output_width;
  picture.height = info.output_height;
  picture.rgb.resize(size_t{picture.width} * picture.height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = picture.rgb.data() + size_t{info.output_scanline} * picture.width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

void appendChunk(std::string& png, std::string_view type, std::string_view data) {
  auto be32 = [&](uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) png.push_back(static_cast<char>(value >> shift));
  };
  be32(static_cast<uint32_t>(data.size()));
  size_t start = png.size();
  png.append(type);
  png.append(data);
  be32(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(png.data() + start),
                                   static_cast<uInt>(png.size() - start))));
}

std::filesystem::path normalThumbnail(const std::filesystem::path& cacheFolder,
                                      const std::filesystem::path& file) {
  return cacheFolder / "thumbnails/normal" / failedThumbnailName(file);
}

// The first bytes of a PNG, where its tEXt chunks are.
std::string pngStart(const std::filesystem::path& file) {
  std::string start(512, '\0');
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ssize_t got = fd < 0 ? 0 : ::read(fd, start.data(), start.size());
  if (fd >= 0) ::close(fd);
  start.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return start;
}

// Written whole or not at all: a reader never sees half a PNG.
bool writeAtomically(const std::filesystem::path& target, const std::string& bytes) {
  std::error_code ec;
  std::filesystem::create_directories(target.parent_path(), ec);
  // The freedesktop folders are the user's alone.
  ::chmod(target.parent_path().parent_path().c_str(), 0700);
  ::chmod(target.parent_path().c_str(), 0700);
  std::string temp = target.string() + ".lumora-" + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  written = ::close(fd) == 0 && written;
  if (!written || ::rename(temp.c_str(), target.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::optional<ExifThumbnail> findExifThumbnail(std::string_view head) {
  if (!head.starts_with("\xFF\xD8")) return std::nullopt;
  size_t at = 2;
  // Segments up to the picture's data: a marker, then a length that counts
  // itself.
  while (at + 4 <= head.size()) {
    if (static_cast<uint8_t>(head[at]) != 0xFF) return std::nullopt;
    auto marker = static_cast<uint8_t>(head[at + 1]);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return std::nullopt;
    size_t length =
        size_t{static_cast<uint8_t>(head[at + 2])} << 8 | static_cast<uint8_t>(head[at + 3]);
    if (length < 2) return std::nullopt;
    std::string_view body = head.substr(at + 4, std::min(length - 2, head.size() - (at + 4)));
    if (marker == 0xE1 && body.starts_with(std::string_view("Exif\0\0", 6))) {
      if (auto found = fromExif(body.substr(6))) return found;
    }
    at += 2 + length;
  }
  return std::nullopt;
}

std::optional<Picture> decodeJpeg(std::string_view jpeg) {
  Picture picture;
  if (!decodeInto(jpeg, picture)) return std::nullopt;
  return picture;
}

Picture orient(const Picture& picture, int orientation) {
  if (orientation < 2 || orientation > 8) return picture;
  // 5 to 8 swap the sides.
  bool swap = orientation >= 5;
  Picture turned;
  turned.width = swap ? picture.height : picture.width;
  turned.height = swap ? picture.width : picture.height;
  turned.rgb.resize(picture.rgb.size());
  uint32_t w = turned.width, h = turned.height;
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      // Where the upright pixel (x, y) is in the stored picture.
      uint32_t sx = x, sy = y;
      switch (orientation) {
        case 2:
          sx = w - 1 - x;
          break;
        case 3:
          sx = w - 1 - x;
          sy = h - 1 - y;
          break;
        case 4:
          sy = h - 1 - y;
          break;
        case 5:
          sx = y;
          sy = x;
          break;
        case 6:
          sx = y;
          sy = w - 1 - x;
          break;
        case 7:
          sx = h - 1 - y;
          sy = w - 1 - x;
          break;
        case 8:
          sx = h - 1 - y;
          sy = x;
          break;
      }
      std::copy_n(picture.rgb.data() + (size_t{sy} * picture.width + sx) * 3, 3,
                  turned.rgb.data() + (size_t{y} * w + x) * 3);
    }
  }
  return turned;
}

Picture fitInto(const Picture& picture, uint32_t box) {
  if (picture.width <= box && picture.height <= box) return picture;
  Picture scaled;
  uint32_t longer = std::max(picture.width, picture.height);
  scaled.width = std::max<uint32_t>(1, uint32_t(uint64_t{picture.width} * box / longer));
  scaled.height = std::max<uint32_t>(1, uint32_t(uint64_t{picture.height} * box / longer));
  scaled.rgb.resize(size_t{scaled.width} * scaled.height * 3);
  // Each pixel the mean of the source pixels it covers.
  for (uint32_t y = 0; y < scaled.height; ++y) {
    uint32_t y0 = uint32_t(uint64_t{y} * picture.height / scaled.height);
    uint32_t y1 = std::max(y0 + 1, uint32_t(uint64_t{y + 1} * picture.height / scaled.height));
    for (uint32_t x = 0; x < scaled.width; ++x) {
      uint32_t x0 = uint32_t(uint64_t{x} * picture.width / scaled.width);
      uint32_t x1 = std::max(x0 + 1, uint32_t(uint64_t{x + 1} * picture.width / scaled.width));
      for (int c = 0; c < 3; ++c) {
        uint64_t sum = 0;
        for (uint32_t sy = y0; sy < y1; ++sy)
          for (uint32_t sx = x0; sx < x1; ++sx)
            sum += picture.rgb[(size_t{sy} * picture.width + sx) * 3 + c];
        scaled.rgb[(size_t{y} * scaled.width + x) * 3 + c] =
            static_cast<uint8_t>(sum / (uint64_t{y1 - y0} * (x1 - x0)));
      }
    }
  }
  return scaled;
}

std::string encodePng(const Picture& picture,
                      const std::vector<std::pair<std::string, std::string>>& texts) {
  std::string png = "\x89PNG\r\n\x1a\n";
  std::string header;
  for (uint32_t value : {picture.width, picture.height})
    for (int shift = 24; shift >= 0; shift -= 8)
      header.push_back(static_cast<char>(value >> shift));
  header.append({8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, no filter, no interlace
  appendChunk(png, "IHDR", header);
  for (const auto& [key, value] : texts) {
    std::string text = key;
    text.push_back('\0');
    appendChunk(png, "tEXt", text.append(value));
  }
  // Each row behind a filter byte of none.
  std::string raw;
  size_t stride = size_t{picture.width} * 3;
  raw.reserve((stride + 1) * picture.height);
  for (uint32_t y = 0; y < picture.height; ++y) {
    raw.push_back('\0');
    raw.append(reinterpret_cast<const char*>(picture.rgb.data()) + y * stride, stride);
  }
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::string packed(size, '\0');
  compress2(reinterpret_cast<Bytef*>(packed.data()), &size,
            reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()), 6);
  packed.resize(size);
  appendChunk(png, "IDAT", packed);
  appendChunk(png, "IEND", {});
  return png;
}

HeadThumbnails::HeadThumbnails(FilesystemCore& filesystem, std::filesystem::path cacheFolder,
                               std::chrono::milliseconds patience)
    : filesystem_(filesystem), cacheFolder_(std::move(cacheFolder)), patience_(patience) {}

HeadThumbnails::~HeadThumbnails() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return running_ == 0; });
}

std::optional<std::string> HeadThumbnails::head(Inode inode) {
  auto opened = filesystem_.openFile(inode, O_RDONLY);
  if (!opened) return std::nullopt;
  auto span = filesystem_.read(**opened, 0, kThumbnailHead);
  if (!span) return std::nullopt;
  if (span->fd < 0) return std::move(span->bytes);
  std::string bytes(span->length, '\0');
  ssize_t got = ::pread(span->fd, bytes.data(), bytes.size(), static_cast<off_t>(span->offset));
  if (got < 0) return std::nullopt;
  bytes.resize(static_cast<size_t>(got));
  return bytes;
}

bool HeadThumbnails::draw(Inode inode, const std::filesystem::path& path, std::time_t modified) {
  std::string extension = path.extension().string();
  std::ranges::transform(extension, extension.begin(),
                         [](unsigned char c) { return std::tolower(c); });
  if (extension != ".jpg" && extension != ".jpeg") return false;
  // A small file is fetched whole at open: not for a glance.
  auto node = filesystem_.attributes(inode);
  if (!node || !node->sizeKnown || static_cast<uint64_t>(node->size) <= kWholeFetchLimit)
    return false;
  auto target = normalThumbnail(cacheFolder_, path);
  // One for this version of the file is there already.
  std::string mtime = std::to_string(modified);
  if (pngStart(target).find(std::string("Thumb::MTime\0", 13) + mtime + '\0') != std::string::npos)
    return false;
  auto deadline = std::chrono::steady_clock::now() + patience_;
  {
    std::lock_guard lock(mutex_);
    if (!drawing_.insert(inode).second) return false;
  }
  // A few heads at a time, each on a thread of its own, so that the
  // thumbnailer is answered within the patience however long the service
  // takes; the destructor waits for those threads.
  if (!fetching_.try_acquire_until(deadline)) {
    std::lock_guard lock(mutex_);
    drawing_.erase(inode);
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    ++running_;
  }
  auto drawn = std::make_shared<std::promise<bool>>();
  auto answer = drawn->get_future();
  std::thread([this, inode, path, target, mtime, drawn] {
    drawn->set_value(fetchAndDraw(inode, path, target, mtime));
    fetching_.release();
    std::lock_guard lock(mutex_);
    drawing_.erase(inode);
    --running_;
    done_.notify_all();
  }).detach();
  return answer.wait_until(deadline) == std::future_status::ready && answer.get();
}

bool HeadThumbnails::fetchAndDraw(Inode inode, const std::filesystem::path& path,
                                  const std::filesystem::path& target, const std::string& mtime) {
  auto bytes = head(inode);
  auto found = bytes ? findExifThumbnail(*bytes) : std::nullopt;
  auto picture = found ? decodeJpeg(found->jpeg) : std::nullopt;
  if (!picture) return false;
  auto png = encodePng(
      fitInto(orient(*picture, found->orientation), kNormalSize),
      {{"Thumb::URI", thumbnailUri(path)}, {"Thumb::MTime", mtime}, {"Software", kSoftware}});
  return writeAtomically(target, png);
}

bool HeadThumbnails::forget(const std::filesystem::path& path) {
  auto target = normalThumbnail(cacheFolder_, path);
  // Only ours: a thumbnailer's own stays.
  if (pngStart(target).find(kSoftware) == std::string::npos) return false;
  return ::unlink(target.c_str()) == 0;
}

}  // namespace lumora::fuse

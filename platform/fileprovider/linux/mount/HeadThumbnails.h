#pragma once
// Thumbnails drawn from the head of a photo alone. Cameras and phones put a
// small JPEG of the picture in the EXIF block near the start of the file;
// put into the desktop's thumbnail cache, it shows the photo in a file
// manager for a few KiB of the file rather than all of it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/fileprovider/linux/core/FilesystemCore.h"

namespace lumora::fuse {

// How much of a file's head is fetched to look for its thumbnail.
inline constexpr size_t kThumbnailHead = 64 * 1024;
// How long a thumbnailer waits for a head before it is answered: a file
// manager's thumbnail queue stands still meanwhile.
inline constexpr std::chrono::milliseconds kHeadPatience{3000};

// The thumbnail in a JPEG's EXIF block: the bytes of a JPEG inside `head`,
// and how the picture is turned (EXIF orientation, 1 when unsaid).
struct ExifThumbnail {
  std::string_view jpeg;
  int orientation = 1;
};

// Finds the thumbnail in the head of a JPEG; nothing when there is none or
// when the bytes say otherwise. Never reads outside `head`.
std::optional<ExifThumbnail> findExifThumbnail(std::string_view head);

// An 8-bit RGB picture.
struct Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rgb;
};

std::optional<Picture> decodeJpeg(std::string_view jpeg);
// Turned upright as the EXIF orientation says (1 to 8).
Picture orient(const Picture& picture, int orientation);
// Scaled down (never up) to fit `box` by `box`, keeping its shape.
Picture fitInto(const Picture& picture, uint32_t box);
// A PNG file of the picture with the given tEXt chunks.
std::string encodePng(const Picture& picture,
                      const std::vector<std::pair<std::string, std::string>>& texts);

// Draws the thumbnails of files a thumbnailer was turned away from, from
// their heads, into the freedesktop cache under `cacheFolder`
// ("thumbnails/normal").
class HeadThumbnails {
 public:
  HeadThumbnails(FilesystemCore& filesystem, std::filesystem::path cacheFolder)
      : HeadThumbnails(filesystem, std::move(cacheFolder), kHeadPatience) {}
  HeadThumbnails(FilesystemCore& filesystem, std::filesystem::path cacheFolder,
                 std::chrono::milliseconds patience);
  // Waits for the heads still being fetched.
  ~HeadThumbnails();
  HeadThumbnails(const HeadThumbnails&) = delete;
  HeadThumbnails& operator=(const HeadThumbnails&) = delete;

  // Fetches the head of the JPEG `inode`, shown at `path` with the date
  // `modified`, and writes its thumbnail; false when it has none or there
  // is one already. Waits for the fetch up to the patience it was made
  // with: the thumbnailer that asked is answered after, so that its file
  // manager finds the thumbnail when it looks again. A fetch that takes
  // longer (a service that hangs) goes on without it, and its thumbnail is
  // there for a later look. Two heads at a time: a file that finds no slot
  // within the patience is left alone.
  bool draw(Inode inode, const std::filesystem::path& path, std::time_t modified);

  // Removes the thumbnail drawn for `path`, once its contents are here and
  // a thumbnailer can draw a better one. True when there was one.
  bool forget(const std::filesystem::path& path);

 private:
  std::optional<std::string> head(Inode inode);
  // Fetches the head of the file shown at `path` and writes its thumbnail
  // to `target`.
  bool fetchAndDraw(Inode inode, const std::filesystem::path& path,
                    const std::filesystem::path& target, const std::string& mtime);

  FilesystemCore& filesystem_;
  std::filesystem::path cacheFolder_;
  const std::chrono::milliseconds patience_;
  std::condition_variable done_;
  size_t running_ = 0;  // protected by mutex_; fetches under way
  // Heads fetched at once, of all the files thumbnailers asked for.
  std::counting_semaphore<2> fetching_{2};
  std::mutex mutex_;
  std::unordered_set<Inode> drawing_;  // protected by mutex_
};

}  // namespace lumora::fuse

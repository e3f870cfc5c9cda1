// A photo's thumbnail found in the head of a real JPEG, turned upright and
// made a PNG; heads cut short or made up find nothing, and read nothing
// outside themselves.

#include "platform/fileprovider/linux/mount/HeadThumbnails.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "fuzz/checks/ExifThumbnailCheck.h"
#include "platform/fileprovider/linux/core/DomainFilesystem.h"
#include "tests/fixtures/TempHome.h"
#include "tests/fixtures/Wait.h"
#include "tests/linux/ExifJpeg.h"
#include "tests/linux/MountedDomain.h"

namespace lumora::fuse {
namespace {

std::string ffmpegJpeg(const testing::TempDir& dir, const std::string& graph) {
  auto out = dir.path() / "out.jpg";
  std::string command = "ffmpeg -loglevel error -y -filter_complex '" + graph +
                        "' -frames:v 1 -q:v 2 " + out.string();
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::ifstream in(out, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class HeadThumbnailsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    photo = ffmpegJpeg(dir, "testsrc2=size=640x480");
    // Red on the left, blue on the right: a turn shows where each went.
    thumbnail = ffmpegJpeg(dir, "color=red:size=80x120[a];color=blue:size=80x120[b];[a][b]hstack");
    camera = testing::withExifThumbnail(photo, thumbnail, 6);
  }
  testing::TempDir dir;
  std::string photo, thumbnail, camera;
};

TEST_F(HeadThumbnailsTest, AThumbnailIsFoundTurnedUprightScaledAndWrittenAsPng) {
  ASSERT_FALSE(findExifThumbnail(photo));
  auto found = findExifThumbnail(std::string_view(camera).substr(0, kThumbnailHead));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->jpeg, thumbnail);
  EXPECT_EQ(found->orientation, 6);

  auto picture = decodeJpeg(found->jpeg);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 160u);
  // Turned a quarter clockwise: the left side is on top.
  auto upright = orient(*picture, 6);
  ASSERT_EQ(upright.width, 120u);
  ASSERT_EQ(upright.height, 160u);
  auto pixel = [&](const Picture& p, uint32_t x, uint32_t y) {
    const uint8_t* at = p.rgb.data() + (size_t{y} * p.width + x) * 3;
    return std::array<int, 3>{at[0], at[1], at[2]};
  };
  EXPECT_GT(pixel(upright, 60, 20)[0], 200);
  EXPECT_GT(pixel(upright, 60, 140)[2], 200);
  auto scaled = fitInto(upright, 128);
  EXPECT_EQ(scaled.width, 96u);
  EXPECT_EQ(scaled.height, 128u);
  EXPECT_GT(pixel(scaled, 48, 10)[0], 200);

  std::string png = encodePng(scaled, {{"Thumb::URI", "file:///a.jpg"}});
  ASSERT_TRUE(png.starts_with("\x89PNG\r\n\x1a\n"));
  EXPECT_NE(png.find(std::string("tEXtThumb::URI\0file:///a.jpg", 28)), std::string::npos);
  EXPECT_TRUE(png.ends_with(std::string("IEND\xAE\x42\x60\x82", 8)));
  // Not a thumbnail: a picture too big to be one.
  EXPECT_FALSE(decodeJpeg(ffmpegJpeg(dir, "color=red:size=2000x100")));
  EXPECT_FALSE(decodeJpeg(thumbnail.substr(0, thumbnail.size() / 2) + "\xFF\xD9"));
}

TEST_F(HeadThumbnailsTest, HeadsCutShortOrMadeUpFindNothingOutsideThemselves) {
  size_t end = 2 + 2 + 2 + 6 + 56 + thumbnail.size();
  for (size_t cut = 0; cut < end; ++cut) {
    std::string head = camera.substr(0, cut);
    EXPECT_FALSE(findExifThumbnail(head)) << cut;
  }
  // Each byte of the EXIF block's header and folders made 0, 0xFF or 0x80.
  for (size_t at = 2; at < 4 + 2 + 6 + 56; ++at) {
    for (char value : {'\0', '\xFF', '\x80'}) {
      std::string head = camera.substr(0, end);
      head[at] = value;
      // Inside the head, and a bounded picture if any.
      EXPECT_EQ(fuzz::checkExifThumbnail(head), "") << at;
    }
  }
  // The thumbnail's folder is the picture's own.
  std::string loop = camera;
  loop[4 + 2 + 6 + 8 + 14] = 8;
  loop[4 + 2 + 6 + 8 + 15] = 0;
  EXPECT_FALSE(findExifThumbnail(loop));
}

TEST_F(HeadThumbnailsTest, AHeadThatHangsAnswersTheThumbnailerInTimeAndIsDrawnOnceItComes) {
  testing::TempHome home;
  testing::StorageService service;
  testing::writeToken(service.token());
  service.setFile("mirror/p/cam.jpg", camera + std::string(2 << 20, '\0'));
  auto extension = testing::makeExtension(service);
  ContentCache cache(home.root() / "cache", 64 << 20);
  ASSERT_TRUE(cache.prepare().has_value());
  DomainFilesystem filesystem(*extension, cache);
  auto file = filesystem.lookup(filesystem.lookup(kRootInode, "p")->inode, "cam.jpg");
  ASSERT_TRUE(file.has_value());
  auto drawnAt = home.root() / "thumbs";
  std::optional<HeadThumbnails> heads;
  heads.emplace(filesystem, drawnAt, std::chrono::milliseconds(200));

  service.stallObjectsFrom(0);
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(heads->draw(file->inode, "/home/u/Lumora/p/cam.jpg", 1));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  service.releaseStalls();
  auto drawn = [&] {
    std::error_code ec;
    for (const auto& at : std::filesystem::recursive_directory_iterator(drawnAt, ec)) {
      if (at.path().extension() == ".png") return true;
    }
    return false;
  };
  EXPECT_TRUE(testing::waitUntil(drawn));
  heads.reset();  // waits for a fetch still under way, if any
}

}  // namespace
}  // namespace lumora::fuse

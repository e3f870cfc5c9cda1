// GNOME Files opened on a folder of large photos and videos in the mount,
// under Xvfb, as a user would glance at it: what the service sent for it.
// GNOME Files thumbnails files it takes for local ones, which this mount is
// to GIO; its thumbnailers are to read nothing that is not cached. Its
// photos carry EXIF thumbnails, which are shown from their heads alone.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>

#include "platform/fileprovider/linux/mount/ThumbnailReaders.h"
#include "tests/fixtures/Wait.h"
#include "tests/linux/ExifJpeg.h"
#include "tests/linux/MountedDomain.h"
#include "tests/tools/Subprocess.h"

namespace lumora::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
constexpr uint64_t kMiB = 1024 * 1024;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

size_t filesIn(const fs::path& folder) {
  std::error_code ec;
  size_t count = 0;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) ++count;
  return count;
}

class GnomeFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fuseAvailable()) GTEST_SKIP() << "/dev/fuse is absent: FUSE mounts cannot be tested here";
    xvfb_ = std::make_unique<Child>(std::vector<std::string>{
        "Xvfb", "-displayfd", "1", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
    auto display = xvfb_->started() ? xvfb_->readLine(15s) : std::nullopt;
    if (!display) GTEST_SKIP() << "no X display could start (Xvfb)";
    display_ = ":" + *display;
    writeToken(service.token());
  }

  // Real media made by ffmpeg: one photo over 8 MiB (padded after its end,
  // which decoders ignore) with an EXIF thumbnail, and one video, each
  // served under several names.
  void makeFolder(int photos, int videos) {
    auto made = [&](std::vector<std::string> args, const fs::path& out) {
      args.insert(args.begin(), {"ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i"});
      args.push_back(out.string());
      auto run = runProcess(args, {}, 120s);
      EXPECT_EQ(run.exitCode, 0) << run.err;
      return readAll(out);
    };
    std::string photo =
        made({"testsrc2=size=4000x3000,noise=alls=60:allf=u", "-frames:v", "1", "-q:v", "1"},
             scratch.path() / "photo.jpg");
    auto small = runProcess(
        {"ffmpeg", "-loglevel", "error", "-y", "-i", (scratch.path() / "photo.jpg").string(), "-vf",
         "scale=160:120", (scratch.path() / "small.jpg").string()},
        {}, 60s);
    EXPECT_EQ(small.exitCode, 0) << small.err;
    photo = withExifThumbnail(photo, readAll(scratch.path() / "small.jpg"));
    std::string video = made({"testsrc2=size=640x360:rate=25,noise=alls=30:allf=t", "-t", "8",
                              "-c:v", "mpeg4", "-q:v", "3"},
                             scratch.path() / "video.mp4");
    for (int i = 0; i < photos; ++i) {
      std::string padded = photo;
      padded.resize(8 * kMiB + (i + 1) * 64 * 1024, '\0');
      add("IMG_" + std::to_string(1000 + i) + ".jpg", std::move(padded));
    }
    for (int i = 0; i < videos; ++i) add("clip" + std::to_string(i) + ".mp4", video);
  }
  void add(const std::string& name, std::string contents) {
    sizes_[name] = contents.size();
    folderBytes_ += contents.size();
    service.setFile("mirror/Photos/" + name, std::move(contents));
  }

  // GNOME Files in a session bus of its own, on `folder`, until `done` or
  // until neither the service nor the thumbnail cache hears of anything new
  // for a while. Software GL would take the machine's cores: GTK draws with
  // cairo. Yields how long its window took to show.
  double glance(const fs::path& folder, const std::function<bool()>& done) {
    auto start = std::chrono::steady_clock::now();
    auto open = [&] {
      return std::make_unique<Child>(
          std::vector<std::string>{"dbus-run-session", "--", "nautilus", "--new-window",
                                   folder.string()},
          std::vector<std::string>{"DISPLAY=" + display_, "GDK_BACKEND=x11", "GTK_A11Y=none",
                                   "GSK_RENDERER=cairo"});
    };
    auto showing = [&] {
      return waitUntil(
          [&] {
            auto run = runProcess({"xdotool", "search", "--onlyvisible", "--name", "Photos"},
                                  {"DISPLAY=" + display_}, 5s);
            return run.exitCode == 0;
          },
          30s);
    };
    auto files = open();
    EXPECT_TRUE(files->started());
    // On a loaded machine GNOME Files now and then never maps its window
    // (it waits on some session service): it gets one more start.
    if (!showing()) {
      files->signal(SIGTERM);
      files->wait(10s);
      start = std::chrono::steady_clock::now();
      files = open();
      EXPECT_TRUE(showing()) << "GNOME Files showed no window";
    }
    double shown = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Settled: done, or nothing new has happened for a while (a thumbnailer
    // drawing a cached photo asks the service nothing, so the wait is long).
    auto state = [&] {
      return std::to_string(service.server().requestCount()) + "/" + std::to_string(drawn());
    };
    std::string last = state();
    auto quietSince = std::chrono::steady_clock::now();
    waitUntil(
        [&] {
          std::this_thread::sleep_for(250ms);
          if (auto now = state(); now != last) {
            last = now;
            quietSince = std::chrono::steady_clock::now();
          }
          return done() || std::chrono::steady_clock::now() - quietSince > 40s;
        },
        120s);
    settled_ = std::chrono::duration<double>(quietSince - start).count();
    files->signal(SIGTERM);
    files->wait(10s);
    return shown;
  }

  fs::path thumbnails() const { return home.home() / ".cache/thumbnails"; }
  size_t drawn() const { return thumbnailsMade() + failuresRecorded(); }
  size_t thumbnailsMade() const {
    return filesIn(thumbnails() / "large") + filesIn(thumbnails() / "normal");
  }
  size_t failuresRecorded() const { return filesIn(thumbnails() / "fail/gnome-thumbnail-factory"); }

  TempHome home;
  TempDir scratch;
  StorageService service;
  std::unique_ptr<Child> xvfb_;
  std::string display_;
  std::map<std::string, uint64_t> sizes_;
  uint64_t folderBytes_ = 0;
  double settled_ = 0;  // when the last glance last saw something new
};

TEST_F(GnomeFilesTest, AGlanceAtAFolderOfLargePhotosAndVideosDownloadsAlmostNothing) {
  makeFolder(8, 2);
  MountedDomain mount(service);
  ASSERT_TRUE(mount.mounted());
  // Settled once every file was tried: each is turned away.
  double shown =
      glance(mount.root() / "Photos", [&] { return failuresRecorded() >= sizes_.size(); });

  auto asked = service.objectBytesAskedByKey();
  uint64_t sent = 0;
  int read = 0, largeOver2MiB = 0;
  for (const auto& [key, bytes] : asked) {
    sent += bytes;
    read += bytes > 0;
    uint64_t size = sizes_[key.substr(key.rfind('/') + 1)];
    if (size > 8 * kMiB) {
      largeOver2MiB += bytes > 2 * kMiB;
      EXPECT_LE(bytes, 2 * kMiB) << key << " of " << size;
    }
    // A photo's head and no more.
    if (key.ends_with(".jpg")) {
      EXPECT_LE(bytes, kMiB / 2) << key;
    }
  }
  std::printf(
      "folder %.1f MiB in %zu files; service sent %.2f MiB; files read %d; large files with over "
      "2 MiB fetched %d; requests %zu; window shown after %.2f s, settled after %.2f s; "
      "thumbnails %zu (failed %zu)\n",
      folderBytes_ / double(kMiB), sizes_.size(), sent / double(kMiB), read, largeOver2MiB,
      service.server().requestCount(), shown, settled_, thumbnailsMade(), failuresRecorded());
  // GNOME Files did look at every file: a thumbnail or a failure for each.
  EXPECT_GE(drawn(), sizes_.size());
  EXPECT_LE(sent, folderBytes_ / 20);
  // GIO gives GNOME Files a valid thumbnail of each photo, found before its
  // failure.
  for (const auto& [name, size] : sizes_) {
    if (!name.ends_with(".jpg")) continue;
    auto info = runProcess({"gio", "info", "-a", "thumbnail::path,thumbnail::is-valid",
                            (mount.root() / "Photos" / name).string()},
                           {}, 10s);
    EXPECT_NE(info.out.find("thumbnails/normal/"), std::string::npos) << name << info.out;
    EXPECT_NE(info.out.find("is-valid: TRUE"), std::string::npos) << name << info.out;
  }

  // The user opens a photo: its failed thumbnail goes, and the next look at
  // the folder draws it.
  fs::path photo = mount.root() / "Photos/IMG_1000.jpg";
  ASSERT_EQ(readFile(photo).value_or("").size(), sizes_["IMG_1000.jpg"]);
  std::string name = fuse::failedThumbnailName(photo);
  EXPECT_TRUE(
      waitUntil([&] { return !fs::exists(thumbnails() / "fail/gnome-thumbnail-factory" / name); }));
  // The thumbnail from its head goes too: GNOME Files draws the whole
  // picture, at its own size.
  auto drawnAgain = [&] { return fs::exists(thumbnails() / "large" / name); };
  glance(mount.root() / "Photos", drawnAgain);
  EXPECT_TRUE(drawnAgain());
}

}  // namespace
}  // namespace lumora::testing

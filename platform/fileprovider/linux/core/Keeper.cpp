#include "platform/fileprovider/linux/core/Keeper.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <future>

#include "platform/fileprovider/linux/base/Log.h"
#include "platform/fileprovider/linux/driver/Retry.h"

namespace lumora::fuse {

namespace {

Error refusal(int code, std::string what) {
  return Error{kPosixErrorDomain, code, std::move(what)};
}

// The path is the folder's own or lies under it.
bool isUnder(const std::string& path, const std::string& folder) {
  if (folder.empty() || path == folder) return true;
  return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}

uint64_t sizeOf(const NodeInfo& node) {
  return static_cast<uint64_t>(std::max<int64_t>(node.size, 0));
}

}  // namespace

const char* stageName(Keeper::Stage stage) {
  switch (stage) {
    case Keeper::Stage::queued:
      return "queued";
    case Keeper::Stage::downloading:
      return "downloading";
    case Keeper::Stage::waiting:
      return "waiting";
    case Keeper::Stage::kept:
      return "kept";
    case Keeper::Stage::failed:
      return "failed";
  }
  return "failed";
}

Keeper::Keeper(DomainFilesystem& filesystem, ItemStore* store, std::chrono::milliseconds retryPause,
               std::chrono::milliseconds recheck)
    : filesystem_(filesystem), store_(store), retryPause_(retryPause), recheck_(recheck) {}

Keeper::~Keeper() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  woken_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Keeper::start() {
  {
    std::lock_guard lock(mutex_);
    if (store_) {
      for (auto& keep : store_->keeps()) {
        Progress progress{keep.path, keep.folder, Stage::queued, keep.bytes, 0, {}};
        roots_.push_back({std::move(keep), std::move(progress)});
      }
    }
  }
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void Keeper::wake() {
  {
    std::lock_guard lock(mutex_);
    again_ = true;
  }
  woken_.notify_all();
}

Result<NodeInfo> Keeper::resolve(const std::string& path) {
  auto node = filesystem_.replica().node(kRootInode);
  if (!node) return std::unexpected(refusal(ENOENT, "the domain has no root"));
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = std::min(path.find('/', at), path.size());
    std::string name = path.substr(at, end - at);
    at = end + 1;
    if (name.empty()) continue;
    auto child = filesystem_.lookup(node->inode, name);
    if (!child) {
      if (isAway(child.error())) {
        return std::unexpected(refusal(EHOSTDOWN, "the service is away and this was never seen"));
      }
      return std::unexpected(refusal(ENOENT, "no such file or folder"));
    }
    node = std::move(*child);
  }
  return *node;
}

Result<void> Keeper::walk(const NodeInfo& node,
                          const std::function<Result<void>(const NodeInfo&)>& file) {
  if (!node.isDirectory) return file(node);
  // Folders still to walk: the files of one folder are visited as its
  // listing gives them, and never gathered.
  std::vector<Inode> folders{node.inode};
  while (!folders.empty()) {
    Inode folder = folders.back();
    folders.pop_back();
    auto children = filesystem_.freshChildren(folder);
    if (!children) return std::unexpected(children.error());
    for (Inode child : *children) {
      auto info = filesystem_.replica().node(child);
      if (!info) continue;  // gone since the listing
      if (info->isDirectory) {
        folders.push_back(child);
      } else if (auto done = file(*info); !done) {
        return done;
      }
    }
  }
  return {};
}

bool Keeper::isAway(const Error& error) const {
  return filesystem_.serviceAway() || error == Retry::awayError() || Retry::canPass(error);
}

Keeper::Root* Keeper::rootLocked(const std::string& path) {
  auto it = std::find_if(roots_.begin(), roots_.end(),
                         [&](const Root& root) { return root.keep.path == path; });
  return it == roots_.end() ? nullptr : &*it;
}

Result<void> Keeper::keep(const std::string& path) {
  auto node = resolve(path);
  if (!node) return std::unexpected(node.error());
  {
    std::lock_guard lock(mutex_);
    for (const auto& root : roots_) {
      if (isUnder(path, root.keep.path)) return {};  // kept already
    }
  }
  // Counted before anything is kept: a keep that does not fit is refused
  // whole, and evicts nothing.
  uint64_t bytes = 0;
  auto counted = walk(*node, [&](const NodeInfo& file) -> Result<void> {
    bytes += sizeOf(file);
    return {};
  });
  if (!counted) {
    return std::unexpected(refusal(counted.error().code,
                                   "cannot count what it holds: " + counted.error().description));
  }
  std::lock_guard lock(mutex_);
  uint64_t others = 0;
  for (const auto& root : roots_) {
    if (!isUnder(root.keep.path, path)) others += root.keep.bytes;
  }
  uint64_t limit = filesystem_.cache().limit();
  if (bytes + others > limit) {
    return std::unexpected(refusal(
        EFBIG, "it holds " + inBytes(bytes) + ", and with the " + inBytes(others) +
                   " kept already that is more than the cache's limit of " + inBytes(limit) +
                   "; nothing was kept. Free something, or raise the limit (cache-size)."));
  }
  ItemStore::Keep keep{path, node->identifier, node->isDirectory, bytes};
  if (store_) {
    if (auto put = store_->putKeep(keep); !put) return std::unexpected(put.error());
  }
  // Keeps inside this one are part of it now.
  std::erase_if(roots_, [&](const Root& root) {
    if (!isUnder(root.keep.path, path)) return false;
    if (store_) (void)store_->removeKeep(root.keep.path);
    return true;
  });
  roots_.push_back({keep, Progress{path, node->isDirectory, Stage::queued, bytes, 0, {}}});
  again_ = true;
  woken_.notify_all();
  return {};
}

Result<void> Keeper::free(const std::string& path) {
  auto node = resolve(path);
  if (!node) return std::unexpected(node.error());
  {
    std::lock_guard lock(mutex_);
    for (const auto& root : roots_) {
      if (root.keep.path != path && isUnder(path, root.keep.path)) {
        return std::unexpected(refusal(
            EBUSY, "it is kept as part of the folder '" + root.keep.path + "'; free that folder"));
      }
    }
    std::erase_if(roots_, [&](const Root& root) {
      if (!isUnder(root.keep.path, path)) return false;
      if (store_) (void)store_->removeKeep(root.keep.path);
      return true;
    });
  }
  std::unique_lock working(work_);
  auto dropped = walk(*node, [&](const NodeInfo& file) -> Result<void> {
    filesystem_.dropContents(file.inode);
    return {};
  });
  if (!dropped) {
    return std::unexpected(refusal(
        dropped.error().code, "not everything under it was freed: " + dropped.error().description));
  }
  return {};
}

std::vector<Keeper::Progress> Keeper::progress() {
  std::lock_guard lock(mutex_);
  std::vector<Progress> all;
  all.reserve(roots_.size());
  for (const auto& root : roots_) all.push_back(root.progress);
  return all;
}

std::optional<Keeper::Progress> Keeper::progressOf(const std::string& path) {
  std::lock_guard lock(mutex_);
  for (const auto& root : roots_) {
    if (isUnder(path, root.keep.path)) return root.progress;
  }
  return std::nullopt;
}

void Keeper::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    again_ = false;
    std::vector<std::string> paths;
    paths.reserve(roots_.size());
    for (const auto& root : roots_) paths.push_back(root.keep.path);
    lock.unlock();
    bool soon = false;
    for (const auto& path : paths) soon = !pass(path) || soon;
    lock.lock();
    if (again_) continue;
    woken_.wait_for(lock, soon ? retryPause_ : recheck_, [&] { return stopping_ || again_; });
  }
}

bool Keeper::pass(const std::string& path) {
  auto update = [&](auto&& change) {
    std::lock_guard lock(mutex_);
    if (Root* root = rootLocked(path)) change(*root);
  };
  auto node = resolve(path);
  if (!node) {
    bool away = node.error().code == EHOSTDOWN;
    update([&](Root& root) {
      root.progress.stage = away ? Stage::waiting : Stage::failed;
      root.progress.problem = away ? "the service is away; the download resumes when it is back"
                                   : "no longer on the service";
    });
    return !away;
  }
  uint64_t bytes = 0, present = 0;
  std::string problem;
  bool stopped = false;
  std::optional<Error> awayError;
  // Downloads under way, oldest first, with the bytes each brings.
  std::deque<std::pair<uint64_t, std::future<Result<void>>>> running;
  auto goOn = [&] {
    std::lock_guard lock(mutex_);
    stopped = stopped || stopping_ || !rootLocked(path);
    return !stopped;
  };
  auto settle = [&](size_t atMost) {
    while (running.size() > atMost) {
      auto [size, download] = std::move(running.front());
      running.pop_front();
      auto kept = download.get();
      if (!kept && isAway(kept.error())) {
        awayError = kept.error();
      } else if (!kept) {
        // This file is left out; the rest is kept all the same.
        if (kept.error().code != ECANCELED) problem = kept.error().description;
      } else {
        present += size;
      }
    }
    update([&](Root& root) {
      root.progress.present = present;
      root.progress.bytes = std::max(root.progress.bytes, bytes);
    });
  };
  auto walked = walk(*node, [&](const NodeInfo& file) -> Result<void> {
    bytes += sizeOf(file);
    if (awayError) return std::unexpected(*awayError);
    if (!goOn()) return std::unexpected(refusal(ECANCELED, "no longer kept"));
    if (filesystem_.cache().isKept(file.identifier, file.contentVersion)) {
      present += sizeOf(file);
      if (running.empty()) settle(0);
      return {};
    }
    update([](Root& root) { root.progress.stage = Stage::downloading; });
    running.emplace_back(
        sizeOf(file),
        std::async(std::launch::async, [this, &goOn, inode = file.inode]() -> Result<void> {
          std::shared_lock working(work_);
          // Freed while this download waited.
          if (!goOn()) return std::unexpected(refusal(ECANCELED, "no longer kept"));
          return filesystem_.keepContents(inode);
        }));
    settle(kKeepDownloads - 1);
    return {};
  });
  settle(0);
  if (walked && awayError) walked = std::unexpected(*awayError);
  if (stopped) return true;
  bool away = !walked && isAway(walked.error());
  if (!walked && !away) problem = walked.error().description;
  std::optional<ItemStore::Keep> counted;
  update([&](Root& root) {
    root.progress.present = present;
    if (away) {
      root.progress.stage = Stage::waiting;
      root.progress.problem = "the service is away; the download resumes when it is back";
      return;
    }
    root.progress.bytes = bytes;
    root.progress.stage = problem.empty() ? Stage::kept : Stage::failed;
    root.progress.problem = problem;
    if (walked && root.keep.bytes != bytes) {
      root.keep.bytes = bytes;
      counted = root.keep;
    }
  });
  if (counted && store_) (void)store_->putKeep(*counted);
  if (!problem.empty()) log("a kept file could not be downloaded: %s", problem.c_str());
  return !away;
}

}  // namespace lumora::fuse

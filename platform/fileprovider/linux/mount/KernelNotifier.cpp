#include "platform/fileprovider/linux/mount/KernelNotifier.h"

#include <utility>

namespace lumora::fuse {

KernelNotifier::KernelNotifier(fuse_session* session)
    : session_(session), thread_([this] { run(); }) {}

KernelNotifier::~KernelNotifier() {
  stop();
}

void KernelNotifier::forgetName(Inode parent, const std::string& name) {
  post(Note{parent, name});
}

void KernelNotifier::forgetAttributes(Inode inode) {
  post(Note{inode, {}});
}

void KernelNotifier::post(Note note) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    notes_.push_back(std::move(note));
  }
  wake_.notify_one();
}

void KernelNotifier::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    notes_.clear();
  }
  wake_.notify_one();
  std::lock_guard joining(joining_);
  if (thread_.joinable()) thread_.join();
}

void KernelNotifier::run() {
  for (;;) {
    Note note;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !notes_.empty(); });
      if (stopping_) return;
      note = std::move(notes_.front());
      notes_.pop_front();
    }
    // A name or inode the kernel does not hold is refused (ENOENT); that is
    // the common case and nothing to report.
    if (note.name.empty()) {
      (void)fuse_lowlevel_notify_inval_inode(session_, note.inode, -1, 0);
    } else {
      (void)fuse_lowlevel_notify_inval_entry(session_, note.inode, note.name.c_str(),
                                             note.name.size());
    }
  }
}

}  // namespace lumora::fuse

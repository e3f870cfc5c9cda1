#pragma once
// Tells the kernel, from a thread of its own, which names and attributes it
// keeps are out of date. A name is forgotten under its folder's lock, which
// a request on that folder holds until it is answered: a request thread
// that did this itself could wait for its own answer.

#include <fuse_lowlevel.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/fileprovider/linux/core/FilesystemCore.h"

namespace lumora::fuse {

class KernelNotifier final : public KernelCache {
 public:
  explicit KernelNotifier(fuse_session* session);
  ~KernelNotifier() override;
  KernelNotifier(const KernelNotifier&) = delete;
  KernelNotifier& operator=(const KernelNotifier&) = delete;

  void forgetName(Inode parent, const std::string& name) override;
  void forgetAttributes(Inode inode) override;

  // Drops what waits and waits for the notification under way, if any. The
  // session loop must still run then, and the caller must not be one of its
  // request threads: that notification may wait for a request's answer.
  void stop();

 private:
  struct Note {
    Inode inode = 0;
    std::string name;  // empty: the inode's attributes
  };
  void post(Note note);
  void run();

  fuse_session* const session_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Note> notes_;  // protected by mutex_
  bool stopping_ = false;   // protected by mutex_
  std::mutex joining_;      // stop() may come from two threads at once
  std::thread thread_;      // last: it uses everything above
};

}  // namespace lumora::fuse

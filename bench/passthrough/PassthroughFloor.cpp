// The floor for any FUSE mount on this machine: a minimal read-only
// passthrough of a local folder on libfuse's low-level API, answering each
// request with one or two system calls and nothing else. bench/fuse-bench
// walks it beside our mount; whatever ours costs above it is ours to cut.
//   PassthroughFloor SOURCE MOUNTPOINT
// Runs in the foreground until unmounted or signalled.

#define FUSE_USE_VERSION 312
#include <dirent.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace {

// Long lived, as the kernel may keep names and attributes of a tree that
// nobody changes.
constexpr double kTimeout = 86400.0;

struct Inode {
  int fd = -1;  // O_PATH
  dev_t dev = 0;
  ino_t ino = 0;
  uint64_t lookups = 0;  // protected by Floor::mutex
};

struct Floor {
  Inode root;
  std::mutex mutex;
  std::map<std::pair<dev_t, ino_t>, Inode*> inodes;  // protected by mutex
};

Floor& floorOf(fuse_req_t req) {
  return *static_cast<Floor*>(fuse_req_userdata(req));
}

Inode& inodeOf(fuse_req_t req, fuse_ino_t ino) {
  return ino == FUSE_ROOT_ID ? floorOf(req).root : *reinterpret_cast<Inode*>(ino);
}

// The entry of `name` in `parent`, its inode counted once more.
int lookupEntry(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_entry_param* e) {
  std::memset(e, 0, sizeof *e);
  e->attr_timeout = e->entry_timeout = kTimeout;
  int fd = ::openat(inodeOf(req, parent).fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  if (::fstatat(fd, "", &e->attr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
    int error = errno;
    ::close(fd);
    return error;
  }
  Floor& floor = floorOf(req);
  std::lock_guard lock(floor.mutex);
  Inode*& inode = floor.inodes[{e->attr.st_dev, e->attr.st_ino}];
  if (inode) {
    ::close(fd);
  } else {
    inode = new Inode{fd, e->attr.st_dev, e->attr.st_ino, 0};
  }
  ++inode->lookups;
  e->ino = reinterpret_cast<fuse_ino_t>(inode);
  return 0;
}

void forgetOne(fuse_req_t req, fuse_ino_t ino, uint64_t count) {
  if (ino == FUSE_ROOT_ID) return;
  Floor& floor = floorOf(req);
  Inode* inode = reinterpret_cast<Inode*>(ino);
  std::lock_guard lock(floor.mutex);
  inode->lookups -= std::min(count, inode->lookups);
  if (inode->lookups > 0) return;
  floor.inodes.erase({inode->dev, inode->ino});
  ::close(inode->fd);
  delete inode;
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  fuse_entry_param e;
  int error = lookupEntry(req, parent, name, &e);
  if (error) {
    fuse_reply_err(req, error);
  } else {
    fuse_reply_entry(req, &e);
  }
}

void opForget(fuse_req_t req, fuse_ino_t ino, uint64_t count) {
  forgetOne(req, ino, count);
  fuse_reply_none(req);
}

void opForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  for (size_t i = 0; i < count; ++i) forgetOne(req, forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(req);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  struct stat st {};
  if (::fstatat(inodeOf(req, ino).fd, "", &st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
    fuse_reply_err(req, errno);
    return;
  }
  fuse_reply_attr(req, &st, kTimeout);
}

// An O_PATH descriptor opened for reading, by way of /proc.
int reopen(int pathFd, int flags) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", pathFd);
  return ::open(path, flags | O_CLOEXEC);
}

struct Directory {
  DIR* dir = nullptr;
  off_t offset = 0;
  dirent* entry = nullptr;  // read but not yet sent
};

void opOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  int fd = reopen(inodeOf(req, ino).fd, O_RDONLY | O_DIRECTORY);
  DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
  if (!dir) {
    int error = errno;
    if (fd >= 0) ::close(fd);
    fuse_reply_err(req, error);
    return;
  }
  fi->fh = reinterpret_cast<uint64_t>(new Directory{dir, 0, nullptr});
  fi->keep_cache = 1;
  fuse_reply_open(req, fi);
}

void readDirectory(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi,
                   bool plus) {
  auto* d = reinterpret_cast<Directory*>(fi->fh);
  std::string buffer(size, '\0');
  size_t used = 0;
  if (offset != d->offset) {
    ::seekdir(d->dir, offset);
    d->entry = nullptr;
    d->offset = offset;
  }
  for (;;) {
    if (!d->entry) {
      errno = 0;
      d->entry = ::readdir(d->dir);
      if (!d->entry) break;
    }
    dirent* entry = d->entry;
    off_t next = entry->d_off;
    size_t added;
    if (plus) {
      fuse_entry_param e{};
      bool dots = std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0;
      if (dots) {
        e.attr.st_ino = entry->d_ino;
        e.attr.st_mode = static_cast<mode_t>(entry->d_type << 12);
      } else if (int error = lookupEntry(req, ino, entry->d_name, &e); error) {
        fuse_reply_err(req, error);
        return;
      }
      added =
          fuse_add_direntry_plus(req, buffer.data() + used, size - used, entry->d_name, &e, next);
      if (added > size - used) {
        if (!dots) forgetOne(req, e.ino, 1);
        break;
      }
    } else {
      struct stat st {};
      st.st_ino = entry->d_ino;
      st.st_mode = static_cast<mode_t>(entry->d_type << 12);
      added = fuse_add_direntry(req, buffer.data() + used, size - used, entry->d_name, &st, next);
      if (added > size - used) break;
    }
    used += added;
    d->entry = nullptr;
    d->offset = next;
  }
  fuse_reply_buf(req, buffer.data(), used);
}

void opReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
  readDirectory(req, ino, size, offset, fi, false);
}

void opReaddirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi) {
  readDirectory(req, ino, size, offset, fi, true);
}

void opReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  auto* d = reinterpret_cast<Directory*>(fi->fh);
  ::closedir(d->dir);
  delete d;
  fuse_reply_err(req, 0);
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC)) {
    fuse_reply_err(req, EROFS);
    return;
  }
  int fd = reopen(inodeOf(req, ino).fd, O_RDONLY);
  if (fd < 0) {
    fuse_reply_err(req, errno);
    return;
  }
  fi->fh = static_cast<uint64_t>(fd);
  fi->keep_cache = 1;
  fuse_reply_open(req, fi);
}

void opRead(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  fuse_bufvec buf = FUSE_BUFVEC_INIT(size);
  buf.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  buf.buf[0].fd = static_cast<int>(fi->fh);
  buf.buf[0].pos = offset;
  fuse_reply_data(req, &buf, FUSE_BUF_SPLICE_MOVE);
}

void opRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  ::close(static_cast<int>(fi->fh));
  fuse_reply_err(req, 0);
}

void opStatfs(fuse_req_t req, fuse_ino_t ino) {
  struct statvfs st {};
  if (::fstatvfs(inodeOf(req, ino).fd, &st) != 0) {
    fuse_reply_err(req, errno);
    return;
  }
  fuse_reply_statfs(req, &st);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SOURCE MOUNTPOINT\n", argv[0]);
    return 2;
  }
  Floor floor;
  floor.root.fd = ::open(argv[1], O_PATH | O_CLOEXEC);
  if (floor.root.fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  fuse_lowlevel_ops ops{};
  ops.lookup = opLookup;
  ops.forget = opForget;
  ops.forget_multi = opForgetMulti;
  ops.getattr = opGetattr;
  ops.opendir = opOpendir;
  ops.readdir = opReaddir;
  ops.readdirplus = opReaddirplus;
  ops.releasedir = opReleasedir;
  ops.open = opOpen;
  ops.read = opRead;
  ops.release = opRelease;
  ops.statfs = opStatfs;

  char name[] = "PassthroughFloor", o[] = "-o",
       options[] = "ro,fsname=passthrough-floor,subtype=floor,auto_unmount";
  char* args[] = {name, o, options};
  fuse_args fargs = FUSE_ARGS_INIT(3, args);
  fuse_session* session = fuse_session_new(&fargs, &ops, sizeof ops, &floor);
  if (!session) return 1;
  int status = 1;
  if (fuse_set_signal_handlers(session) == 0) {
    if (fuse_session_mount(session, argv[2]) == 0) {
      fuse_loop_config* config = fuse_loop_cfg_create();
      fuse_loop_cfg_set_max_threads(config, 16);
      status = fuse_session_loop_mt(session, config);
      fuse_loop_cfg_destroy(config);
      fuse_session_unmount(session);
    }
    fuse_remove_signal_handlers(session);
  }
  fuse_session_destroy(session);
  return status == 0 ? 0 : 1;
}

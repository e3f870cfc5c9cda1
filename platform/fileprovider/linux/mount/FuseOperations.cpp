#include "platform/fileprovider/linux/mount/FuseOperations.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/fileprovider/Types.h"
#include "platform/fileprovider/linux/base/Errno.h"
#include "platform/fileprovider/linux/base/Log.h"
#include "platform/fileprovider/linux/driver/Retry.h"

namespace lumora::fuse {

namespace {

FuseContext& context(fuse_req_t req) {
  return *static_cast<FuseContext*>(fuse_req_userdata(req));
}

// Runs one request's work; whatever escapes becomes EIO for the kernel.
template <class Work>
void guarded(fuse_req_t req, Work&& work) {
  RetryScope oneBound;  // whatever the request asks of the extension
  try {
    work();
  } catch (const std::exception& e) {
    log("request failed: %s", e.what());
    fuse_reply_err(req, EIO);
  } catch (...) {
    log("request failed");
    fuse_reply_err(req, EIO);
  }
}

void replyError(fuse_req_t req, const Error& error) {
  fuse_reply_err(req, errnoForError(error));
}

struct stat statFor(const FuseContext& ctx, const NodeInfo& node) {
  struct stat st {};
  st.st_ino = node.inode;
  st.st_mode = node.isDirectory ? (S_IFDIR | 0555) : (S_IFREG | 0444);
  st.st_nlink = node.isDirectory ? 2 : 1;
  st.st_uid = ctx.owner;
  st.st_gid = ctx.group;
  st.st_size = node.size;
  st.st_blksize = 4096;
  st.st_blocks = (node.size + 511) / 512;
  // The service's date; the mount's start where it gives none. The kernel
  // keeps no other time for an item that cannot change here.
  std::time_t date = node.modified != 0 ? static_cast<std::time_t>(node.modified) : ctx.mountedAt;
  st.st_atim.tv_sec = st.st_mtim.tv_sec = st.st_ctim.tv_sec = date;
  return st;
}

fuse_entry_param entryFor(const FuseContext& ctx, const NodeInfo& node) {
  fuse_entry_param e{};
  e.ino = node.inode;
  e.attr = statFor(ctx, node);
  e.attr_timeout = kKernelCacheSeconds;
  e.entry_timeout = kKernelCacheSeconds;
  return e;
}

struct DirHandle {
  std::vector<Inode> entries;  // the snapshot taken at opendir
  bool complete = true;        // else the first pages, and the rest to come
};

// Entries are described as they are read, about as many at a time as the
// kernel's buffer holds: names and attributes are not copied for a whole
// folder at once. The least an entry takes, with its attributes and without.
constexpr size_t kLeastEntryPlus = 160;
constexpr size_t kLeastEntry = 32;

void opInit(void*, fuse_conn_info* conn) {
  if (conn->capable & FUSE_CAP_SPLICE_WRITE) conn->want |= FUSE_CAP_SPLICE_WRITE;
  if (conn->capable & FUSE_CAP_SPLICE_MOVE) conn->want |= FUSE_CAP_SPLICE_MOVE;
  if (conn->capable & FUSE_CAP_READDIRPLUS) conn->want |= FUSE_CAP_READDIRPLUS;
  // A truncating open reaches open() with O_TRUNC and is refused there.
  if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
  conn->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
  conn->max_readahead = conn->max_readahead ? conn->max_readahead : (1u << 20);
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  guarded(req, [&] {
    auto& ctx = context(req);
    auto node = ctx.filesystem->lookup(parent, name);
    if (!node && node.error() == fileprovider::fileProviderError(fileprovider::kErrorNoSuchItem)) {
      // A miss the kernel keeps: file managers ask for the same absent names
      // in every folder they show. A listing that shows the name forgets it.
      fuse_entry_param e{};
      e.entry_timeout = kKernelCacheSeconds;
      fuse_reply_entry(req, &e);
      return;
    }
    if (!node) return replyError(req, node.error());
    // Counted before the kernel can hold it, so that its FORGET never comes
    // first; an item dropped meanwhile has left its folder.
    if (!ctx.filesystem->lookedUp(node->inode)) return (void)fuse_reply_err(req, ENOENT);
    auto e = entryFor(ctx, *node);
    if (fuse_reply_entry(req, &e) != 0) ctx.filesystem->forget(node->inode, 1);
  });
}

void opForget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
  context(req).filesystem->forget(ino, nlookup);
  fuse_reply_none(req);
}

void opForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  auto* filesystem = context(req).filesystem;
  for (size_t i = 0; i < count; ++i) filesystem->forget(forgets[i].ino, forgets[i].nlookup);
  fuse_reply_none(req);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  guarded(req, [&] {
    auto& ctx = context(req);
    auto node = ctx.filesystem->attributes(ino);
    if (!node) return replyError(req, node.error());
    auto st = statFor(ctx, *node);
    fuse_reply_attr(req, &st, kKernelCacheSeconds);
  });
}

void opSetattr(fuse_req_t req, fuse_ino_t ino, struct stat*, int, fuse_file_info*) {
  guarded(req, [&] { replyError(req, context(req).filesystem->refuseModify(ino)); });
}

void opSetxattr(fuse_req_t req, fuse_ino_t ino, const char*, const char*, size_t, int) {
  guarded(req, [&] { replyError(req, context(req).filesystem->refuseModify(ino)); });
}

void opRemovexattr(fuse_req_t req, fuse_ino_t ino, const char*) {
  guarded(req, [&] { replyError(req, context(req).filesystem->refuseModify(ino)); });
}

// Answers a value or a list of names as the kernel asks: its size alone
// when `size` is 0, ERANGE when it does not fit.
void replyXattr(fuse_req_t req, const std::string& value, size_t size) {
  if (size == 0) {
    fuse_reply_xattr(req, value.size());
  } else if (value.size() > size) {
    fuse_reply_err(req, ERANGE);
  } else {
    fuse_reply_buf(req, value.data(), value.size());
  }
}

void opGetxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
  guarded(req, [&] {
    auto value = context(req).filesystem->extendedAttribute(ino, name);
    if (!value) return replyError(req, value.error());
    replyXattr(req, *value, size);
  });
}

void opListxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
  guarded(req, [&] {
    std::string names;
    for (const auto& name : context(req).filesystem->extendedAttributeNames(ino)) {
      names += name;
      names.push_back('\0');
    }
    replyXattr(req, names, size);
  });
}

void opMknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, dev_t) {
  guarded(req,
          [&] { replyError(req, context(req).filesystem->refuseCreate(parent, name, false)); });
}

void opMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t) {
  guarded(req, [&] { replyError(req, context(req).filesystem->refuseCreate(parent, name, true)); });
}

void opSymlink(fuse_req_t req, const char*, fuse_ino_t parent, const char* name) {
  guarded(req,
          [&] { replyError(req, context(req).filesystem->refuseCreate(parent, name, false)); });
}

void opLink(fuse_req_t req, fuse_ino_t, fuse_ino_t parent, const char* name) {
  guarded(req,
          [&] { replyError(req, context(req).filesystem->refuseCreate(parent, name, false)); });
}

void opCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t, fuse_file_info*) {
  guarded(req,
          [&] { replyError(req, context(req).filesystem->refuseCreate(parent, name, false)); });
}

void opUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  guarded(req, [&] { replyError(req, context(req).filesystem->refuseDelete(parent, name)); });
}

void opRmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  guarded(req, [&] { replyError(req, context(req).filesystem->refuseDelete(parent, name)); });
}

void opRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t, const char*,
              unsigned int) {
  guarded(req, [&] { replyError(req, context(req).filesystem->refuseRename(parent, name)); });
}

void opReadlink(fuse_req_t req, fuse_ino_t) {
  fuse_reply_err(req, EINVAL);
}

bool isCached(FuseContext& ctx, fuse_ino_t ino) {
  auto state = ctx.filesystem->extendedAttribute(ino, kStateAttribute);
  return state && *state == "cached";
}

// A file whose contents are not all here; an unknown one is left to open's
// own answer.
bool isUncached(FuseContext& ctx, fuse_ino_t ino) {
  auto state = ctx.filesystem->extendedAttribute(ino, kStateAttribute);
  return state && *state != "cached";
}

}  // namespace

std::filesystem::path shownPathOf(FuseContext& ctx, uint64_t inode) {
  std::vector<std::string> names;
  for (int depth = 0; inode != kRootInode && depth < 256; ++depth) {
    auto node = ctx.filesystem->attributes(inode);
    auto described = ctx.filesystem->describe(std::span<const Inode>(&inode, 1));
    if (!node || described.empty() || described.front().inode == 0) return {};
    names.push_back(described.front().name);
    inode = node->parent;
  }
  std::filesystem::path path = ctx.shownAt.empty() ? ctx.mountpoint : ctx.shownAt;
  for (auto it = names.rbegin(); it != names.rend(); ++it) path /= *it;
  return path;
}

namespace {

// A photo's thumbnail from its head, written before the thumbnailer is
// turned away: the file manager looks again after the failure and finds it.
void drawFromHead(FuseContext& ctx, fuse_ino_t ino) {
  if (!ctx.headThumbnails) return;
  auto node = ctx.filesystem->attributes(ino);
  auto path = node ? shownPathOf(ctx, ino) : std::filesystem::path();
  if (path.empty()) return;
  ctx.headThumbnails->draw(ino, path, node->modified != 0 ? node->modified : ctx.mountedAt);
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  guarded(req, [&] {
    auto& ctx = context(req);
    auto* thumbnailers = ctx.thumbnailReaders.get();
    if (thumbnailers && isUncached(ctx, ino) &&
        thumbnailers->isThumbnailer(fuse_req_ctx(req)->pid)) {
      // A glance at a folder downloads nothing. The desktop records the
      // failure; it is withdrawn once the contents are here (see opRelease).
      thumbnailers->turnedAway(ino);
      drawFromHead(ctx, ino);
      return (void)fuse_reply_err(req, EACCES);
    }
    auto opened = ctx.filesystem->openFile(ino, fi->flags);
    if (!opened) return replyError(req, opened.error());
    OpenedFile& file = **opened;
    auto* se = ctx.session.load();
    if (file.invalidateKernel && se) {
      // The kernel still holds the old size and pages of this inode.
      fuse_lowlevel_notify_inval_inode(se, ino, 0, 0);
    }
    bool keepCache = file.keepCache;
    uint64_t size = file.lease.size();
    if (!keepCache && !file.directIo && size > 0 && size <= kPreloadBytes &&
        file.lease.entry().complete() && !file.lease.entry().streaming() && se) {
      fuse_bufvec buf = FUSE_BUFVEC_INIT(size);
      buf.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
      buf.buf[0].fd = file.lease.fd();
      buf.buf[0].pos = 0;
      // Stored whole, the pages are the file's current contents: keep them.
      keepCache = fuse_lowlevel_notify_store(se, ino, 0, &buf, FUSE_BUF_NO_SPLICE) == 0;
    }
    fi->fh = ctx.handles.add(std::move(*opened));
    fi->keep_cache = keepCache ? 1 : 0;
    fi->direct_io = file.directIo ? 1 : 0;
    // Nothing is ever written, so a close has nothing to flush: the kernel
    // need not ask.
    fi->noflush = 1;
    if (fuse_reply_open(req, fi) != 0) ctx.handles.remove(fi->fh);
  });
}

void opRead(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  guarded(req, [&] {
    auto& ctx = context(req);
    auto file = ctx.handles.get<OpenedFile>(fi->fh);
    if (!file) return (void)fuse_reply_err(req, EBADF);
    auto span =
        ctx.filesystem->read(*file, static_cast<uint64_t>(std::max<off_t>(offset, 0)), size);
    if (!span) return replyError(req, span.error());
    if (span->fd < 0) return (void)fuse_reply_buf(req, span->bytes.data(), span->bytes.size());
    fuse_bufvec buf = FUSE_BUFVEC_INIT(span->length);
    buf.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    buf.buf[0].fd = span->fd;
    buf.buf[0].pos = static_cast<off_t>(span->offset);
    fuse_reply_data(req, &buf, FUSE_BUF_SPLICE_MOVE);
  });
}

void opWrite(fuse_req_t req, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) {
  fuse_reply_err(req, EROFS);
}

// A file a thumbnailer was turned away from is cached now: the desktop's
// record of the failure goes, so that it draws the file the next time it
// shows the folder.
void withdrawFailedThumbnail(FuseContext& ctx, fuse_ino_t ino) {
  auto* thumbnailers = ctx.thumbnailReaders.get();
  if (!thumbnailers || !thumbnailers->wasTurnedAway(ino) || !isCached(ctx, ino)) return;
  thumbnailers->triedAgain(ino);
  auto path = shownPathOf(ctx, ino);
  if (path.empty()) return;
  forgetFailedThumbnail(path);
  // The thumbnailer draws the whole picture now.
  if (ctx.headThumbnails) ctx.headThumbnails->forget(path);
}

void opRelease(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  auto& ctx = context(req);
  ctx.handles.remove(fi->fh);
  try {
    withdrawFailedThumbnail(ctx, ino);
  } catch (const std::exception& e) {
    log("a failed thumbnail could not be withdrawn: %s", e.what());
  } catch (...) {
    log("a failed thumbnail could not be withdrawn");
  }
  fuse_reply_err(req, 0);
}

void opFsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) {
  fuse_reply_err(req, 0);
}

void opFallocate(fuse_req_t req, fuse_ino_t ino, int, off_t, off_t, fuse_file_info*) {
  guarded(req, [&] { replyError(req, context(req).filesystem->refuseModify(ino)); });
}

void opOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  guarded(req, [&] {
    auto& ctx = context(req);
    auto listing = ctx.filesystem->openDirectory(ino);
    if (!listing) return replyError(req, listing.error());
    // The kernel keeps what it read of the folder and reads it again only
    // when the entries have changed since; a folder still being listed is
    // not kept.
    fi->cache_readdir = listing->complete ? 1 : 0;
    fi->keep_cache = listing->unchanged ? 1 : 0;
    fi->fh = ctx.handles.add(
        std::make_unique<DirHandle>(DirHandle{std::move(listing->entries), listing->complete}));
    if (fuse_reply_open(req, fi) != 0) ctx.handles.remove(fi->fh);
  });
}

// Offsets: 0 and 1 are "." and "..", then the snapshot's entries. A
// snapshot of a folder's first pages is shown as it is; a read past it
// waits for the rest of the folder (the kernel reads one handle in turn).
void readDirectory(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info* fi,
                   bool plus) {
  guarded(req, [&] {
    auto& ctx = context(req);
    auto handle = ctx.handles.get<DirHandle>(fi->fh);
    if (!handle) return (void)fuse_reply_err(req, EBADF);
    std::vector<char> buffer(size);
    size_t used = 0;
    std::vector<DirEntry> batch;  // described entries from batchStart
    size_t batchStart = 0;
    for (size_t index = static_cast<size_t>(std::max<off_t>(offset, 0));; ++index) {
      if (index >= handle->entries.size() + 2) {
        if (handle->complete || used > 0) break;
        auto whole = ctx.filesystem->wholeDirectory(ino);
        if (!whole) return replyError(req, whole.error());
        handle->entries = std::move(*whole);
        handle->complete = true;
        batch.clear();
        if (index >= handle->entries.size() + 2) break;
      }
      const char* name = nullptr;
      NodeInfo node;
      bool dot = index < 2;
      if (dot) {
        name = index == 0 ? "." : "..";
        node.inode = ino;
        node.isDirectory = true;
      } else {
        size_t at = index - 2;
        if (at < batchStart || at >= batchStart + batch.size()) {
          batchStart = at;
          size_t fit = size / (plus ? kLeastEntryPlus : kLeastEntry) + 1;
          size_t count = std::min(fit, handle->entries.size() - at);
          batch = ctx.filesystem->describe({handle->entries.data() + at, count});
        }
        const auto& entry = batch[at - batchStart];
        if (entry.inode == 0) continue;  // gone since the folder was opened
        name = entry.name.c_str();
        node.inode = entry.inode;
        node.isDirectory = entry.isDirectory;
        node.size = entry.size;
        node.modified = entry.modified;
      }
      size_t added = 0;
      if (plus) {
        fuse_entry_param e = entryFor(ctx, node);
        // Each entry handed out with its inode raises the kernel's look-up
        // count; only one that fits is counted. None for "." and "..".
        if (fuse_add_direntry_plus(req, nullptr, 0, name, nullptr, 0) > size - used) break;
        if (dot || !ctx.filesystem->lookedUp(node.inode)) e.ino = 0;
        added = fuse_add_direntry_plus(req, buffer.data() + used, size - used, name, &e,
                                       static_cast<off_t>(index + 1));
      } else {
        struct stat st = statFor(ctx, node);
        added = fuse_add_direntry(req, buffer.data() + used, size - used, name, &st,
                                  static_cast<off_t>(index + 1));
      }
      if (added > size - used) break;
      used += added;
    }
    fuse_reply_buf(req, buffer.data(), used);
  });
}

void opReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
  readDirectory(req, ino, size, off, fi, false);
}

void opReaddirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
  readDirectory(req, ino, size, off, fi, true);
}

void opReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  context(req).handles.remove(fi->fh);
  fuse_reply_err(req, 0);
}

void opFsyncdir(fuse_req_t req, fuse_ino_t, int, fuse_file_info*) {
  fuse_reply_err(req, 0);
}

void opAccess(fuse_req_t req, fuse_ino_t, int mask) {
  fuse_reply_err(req, (mask & W_OK) ? EROFS : 0);
}

void opStatfs(fuse_req_t req, fuse_ino_t) {
  struct statvfs st {};
  st.f_bsize = 4096;
  st.f_frsize = 4096;
  st.f_namemax = 255;
  st.f_flag = ST_RDONLY;
  fuse_reply_statfs(req, &st);
}

fuse_lowlevel_ops makeOperations() {
  fuse_lowlevel_ops ops{};
  ops.init = opInit;
  ops.lookup = opLookup;
  ops.forget = opForget;
  ops.forget_multi = opForgetMulti;
  ops.getattr = opGetattr;
  ops.setattr = opSetattr;
  ops.readlink = opReadlink;
  ops.mknod = opMknod;
  ops.mkdir = opMkdir;
  ops.unlink = opUnlink;
  ops.rmdir = opRmdir;
  ops.symlink = opSymlink;
  ops.rename = opRename;
  ops.link = opLink;
  ops.open = opOpen;
  ops.read = opRead;
  ops.write = opWrite;
  // No flush: nothing is ever written, and the kernel, answered ENOSYS once,
  // closes files without asking again, which spares every close a request.
  ops.release = opRelease;
  ops.fsync = opFsync;
  ops.opendir = opOpendir;
  ops.readdir = opReaddir;
  ops.readdirplus = opReaddirplus;
  ops.releasedir = opReleasedir;
  ops.fsyncdir = opFsyncdir;
  ops.statfs = opStatfs;
  ops.setxattr = opSetxattr;
  ops.getxattr = opGetxattr;
  ops.listxattr = opListxattr;
  ops.removexattr = opRemovexattr;
  ops.access = opAccess;
  ops.create = opCreate;
  ops.fallocate = opFallocate;
  return ops;
}

}  // namespace

const fuse_lowlevel_ops& fuseOperations() {
  static const fuse_lowlevel_ops ops = makeOperations();
  return ops;
}

}  // namespace lumora::fuse

// Linux profile routine: edits one key under a lock and swaps the new content in whole.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "linux_profile.h"

#include "identity.h"
#include "platform.h"
#include "profile_text.h"

namespace linux_profile {
namespace {

// kStartOver: another writer created or replaced the file meanwhile; read it again.
// kRewriteInPlace: no new file can stand in for the old one.
enum class Outcome { kDone, kRewriteInPlace, kStartOver, kFailed };

// How long to wait for another writer's lock before going on without it, and how often to look.
constexpr long kLockWaitMilliseconds = 5000;
constexpr long kLockPollMilliseconds = 5;
// How long to keep starting over while other writers replace or create the file meanwhile: a
// count would run out beside a busy writer and drop the update.
constexpr long kStartOverMilliseconds = 5000;

long long NowMilliseconds() {
  struct timespec now = {0, 0};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SleepMilliseconds(long milliseconds) {
  struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// The most one read or write moves: qemu-user fails a single call of more than 2 GiB with EFAULT.
constexpr size_t kLargestTransfer = size_t{1} << 30;

// The whole file, read straight into fresh memory: neither copied twice nor cleared first, and
// in huge pages where the system has them, which a large file reads into several times faster.
class FileText {
 public:
  FileText() = default;
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;
  ~FileText() { Release(); }

  std::string_view view() const { return std::string_view(bytes_, size_); }

  bool Read(int fd, off_t expected) {
    if (!Reserve(static_cast<size_t>(expected) + 65536)) return false;  // room to see the end
    for (;;) {
      if (size_ == capacity_ && !Reserve(capacity_ * 2)) return false;  // the file grew
      size_t wanted = std::min(capacity_ - size_, kLargestTransfer);
      ssize_t got = pread(fd, bytes_ + size_, wanted, static_cast<off_t>(size_));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return got == 0;
      size_ += static_cast<size_t>(got);
    }
  }

 private:
  bool Reserve(size_t capacity) {
    void* block =
        mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return false;
    madvise(block, capacity, MADV_HUGEPAGE);
    if (size_ > 0) std::memcpy(block, bytes_, size_);
    Release();
    bytes_ = static_cast<char*>(block);
    capacity_ = capacity;
    return true;
  }
  void Release() {
    if (bytes_ != nullptr) munmap(bytes_, capacity_);
    bytes_ = nullptr;
  }

  char* bytes_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Writes `size` bytes that belong at `*offset` of the new file, skipping those before `from`.
bool WriteAt(int fd, const char* data, size_t size, off_t* offset, off_t from) {
  const off_t skipped = *offset < from ? std::min<off_t>(from - *offset, size) : 0;
  data += skipped;
  size -= static_cast<size_t>(skipped);
  *offset += skipped;
  for (size_t done = 0; done < size;) {
    ssize_t put = pwrite(fd, data + done, std::min(size - done, kLargestTransfer), *offset);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
    *offset += put;
  }
  return true;
}

// Writes the new content into `fd` from offset `from` on: the old text's bytes between the
// changes, and the changes' replacements.
bool WriteNewContent(int fd, std::string_view text, const linux_profile::TextChanges& changes,
                     off_t from = 0) {
  off_t offset = 0;
  size_t copied = 0;
  for (const linux_profile::Change<char>& change : changes) {
    if (!WriteAt(fd, text.data() + copied, change.start - copied, &offset, from) ||
        !WriteAt(fd, change.replacement.data(), change.replacement.size(), &offset, from)) {
      return false;
    }
    copied = change.end;
  }
  return WriteAt(fd, text.data() + copied, text.size() - copied, &offset, from);
}

off_t NewSize(std::string_view text, const linux_profile::TextChanges& changes) {
  size_t size = text.size();
  for (const linux_profile::Change<char>& change : changes) {
    size += change.replacement.size() - (change.end - change.start);
  }
  return static_cast<off_t>(size);
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// An append-only or immutable folder lets no name be replaced or removed: a new file could
// neither take the old one's place nor go again.
bool FolderKeepsItsNames(const std::string& directory) {
  struct statx folder;
  if (statx(AT_FDCWD, directory.c_str(), 0, STATX_BASIC_STATS, &folder) != 0) return false;
  return (folder.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
}

// Errors by which the mount or the folder refuses a new name or a rename (a file bind-mounted
// into the folder, another filesystem, a folder made read-only meanwhile), where the file itself
// may still be written.
bool IsRefusedByFolder(int error) {
  return error == EBUSY || error == EXDEV || error == EPERM || error == EACCES || error == EROFS;
}

bool IsOutOfRoom(int error) { return error == ENOSPC || error == EDQUOT; }

// Makes a new name in `directory` survive a power cut. Where the folder cannot be opened to flush
// it (writable but not readable, mode 0311), the whole filesystem is flushed, through `newFile`.
bool SyncDirectory(const std::string& directory, int newFile) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = fd >= 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  return synced || syncfs(newFile) == 0;
}

// What the wait for the lock ended with. A writer's lock still held past the wait is a change
// under way, perhaps stopped half-way (a frozen container): its file is neither read nor written.
// A reader's leaves the content whole, so a new file may replace it, but nothing goes into it.
enum class LockState { kLocked, kReadersHoldIt, kWriterHoldsIt };

// Waits a bounded time for other writers that use POSIX locks; past that, learns who holds it.
LockState LockForWriting(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  for (long waited = 0; waited < kLockWaitMilliseconds; waited += kLockPollMilliseconds) {
    if (fcntl(fd, F_SETLK, &lock) == 0) return LockState::kLocked;
    // No locks here (NFS without its lock service): no one else can hold one either.
    if (errno != EACCES && errno != EAGAIN && errno != EINTR) return LockState::kLocked;
    SleepMilliseconds(kLockPollMilliseconds);
  }
  // Only a writer's lock stands in the way of a read lock.
  struct flock writer = {};
  writer.l_type = F_RDLCK;
  writer.l_whence = SEEK_SET;
  if (fcntl(fd, F_GETLK, &writer) != 0 || writer.l_type != F_UNLCK) {
    return LockState::kWriterHoldsIt;
  }
  return fcntl(fd, F_SETLK, &lock) == 0 ? LockState::kLocked : LockState::kReadersHoldIt;
}

// Opens the file without blocking, so that a FIFO put in its place cannot hold the run. A lease
// holder (Samba's kernel oplocks, an NFS delegation) refuses such an open until it lets go, which
// the first try asked it to do: tried again within the lock's wait.
int OpenForUpdate(const std::string& target) {
  for (long waited = 0;; waited += kLockPollMilliseconds) {
    int fd = open(target.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0 || errno != EWOULDBLOCK || waited >= kLockWaitMilliseconds) return fd;
    SleepMilliseconds(kLockPollMilliseconds);
  }
}

// Another process that has the file open (a Samba client, an editor) goes on writing to the inode
// it opened; a replacement would leave those writes on the old, nameless one. A write lease can be
// had only while no one else has the file open, and another's open meanwhile breaks it. The kernel
// tells the break with SIGIO, whose default action would end the run: ignored while it is held.
// Where no lease can be had at all (another owner's file, NFS), others' opens go unseen.
struct WriteLease {
  bool held = false;
  struct sigaction previous;
};

// Whether others have the file open. If not, a lease is held from now on, to learn whether
// someone opens it before the swap.
bool OthersHaveItOpen(int fd, WriteLease* lease) {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGIO, &ignore, &lease->previous);
  if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
    lease->held = true;
    return false;
  }
  const bool others = errno == EAGAIN;
  sigaction(SIGIO, &lease->previous, nullptr);
  return others;
}

bool LeaseBroken(int fd, bool leased) { return leased && fcntl(fd, F_GETLEASE) != F_WRLCK; }

void ReleaseLease(int fd, WriteLease* lease) {
  if (!lease->held) return;
  fcntl(fd, F_SETLEASE, F_UNLCK);
  sigaction(SIGIO, &lease->previous, nullptr);
  lease->held = false;
}

bool IsSameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool HasOtherNames(int fd) {
  struct stat now;
  return fstat(fd, &now) != 0 || now.st_nlink > 1;
}

bool IsSymbolicLink(const std::string& name) {
  struct stat named;
  return lstat(name.c_str(), &named) == 0 && S_ISLNK(named.st_mode);
}

// A temporary file in the target's directory: unnamed where the filesystem allows (and /proc can
// name it later), so that a killed run leaves nothing behind; otherwise under a hidden name of its
// own. It is locked (flock) from before anyone may take it for a leftover until the run ends.
struct TemporaryFile {
  int fd = -1;
  std::string name;  // empty while the file has no name
};

// Temporary names: this prefix, an unpredictable part and ".tmp". Earlier versions put their
// process ID there (".<pid>.new", ".<pid>.<n>.<n>.tmp"); their leftovers are collected too.
constexpr char kTemporaryPrefix[] = ".settings.ini.";
// How many fresh names a run tries where each is taken already.
constexpr int kNameTries = 16;

bool IsTemporaryName(const char* name) {
  if (std::strncmp(name, kTemporaryPrefix, sizeof kTemporaryPrefix - 1) != 0) return false;
  const std::string_view rest(name + sizeof kTemporaryPrefix - 1);
  if (rest.size() < 5) return false;
  const std::string_view ending = rest.substr(rest.size() - 4);
  const std::string_view middle = rest.substr(0, rest.size() - 4);
  return (ending == ".tmp" || ending == ".new") && middle[0] != '.' &&
         middle.find_first_not_of("0123456789abcdef.") == std::string_view::npos;
}

// A name in `directory` no one can foresee, so no one can put anything under it first.
bool NewTemporaryName(const std::string& directory, std::string* name) {
  unsigned char random[8];
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return false;
  static const char kDigits[] = "0123456789abcdef";
  *name = directory + "/" + kTemporaryPrefix;
  for (unsigned char byte : random) {
    *name += kDigits[byte >> 4];
    *name += kDigits[byte & 15];
  }
  *name += ".tmp";
  return true;
}

// Whether `name` (in the folder `folderFd`) names the file open as `fd`, not following a link.
bool NamesDescriptor(int folderFd, const char* name, int fd) {
  struct stat held, named;
  return fstat(fd, &held) == 0 && fstatat(folderFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         IsSameFile(held, named);
}

// Removes what killed runs left in the folder: files under a temporary name that no run holds
// locked. A lock is seen alike from every process namespace, unlike a process ID. Only a file
// locked here whose name still names it goes, and only one of this user or of the settings file's
// owner (`settingsFd`, -1 for none yet): nothing another user put there. A leftover that is a
// second name of the settings file is locked through `settingsFd` and that lock kept to the end
// of the run, for closing another descriptor of the file would drop the run's own lock on it.
void CollectLeftovers(const std::string& directory, int settingsFd) {
  struct stat settings;
  const bool hasSettings = settingsFd >= 0 && fstat(settingsFd, &settings) == 0;
  DIR* folder = opendir(directory.c_str());
  if (folder == nullptr) return;  // a folder that cannot be read keeps what it has
  while (const struct dirent* entry = readdir(folder)) {
    struct stat named;
    if (!IsTemporaryName(entry->d_name) ||
        fstatat(dirfd(folder), entry->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(named.st_mode) ||
        (named.st_uid != geteuid() && !(hasSettings && named.st_uid == settings.st_uid))) {
      continue;
    }
    const bool isSettings = hasSettings && IsSameFile(named, settings);
    int fd = isSettings ? settingsFd
                        : openat(dirfd(folder), entry->d_name,
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) continue;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && NamesDescriptor(dirfd(folder), entry->d_name, fd)) {
      unlinkat(dirfd(folder), entry->d_name, 0);
    }
    struct stat opened;
    // Renamed to the settings file's second name meanwhile: kept open, as above.
    if (!isSettings && !(hasSettings && fstat(fd, &opened) == 0 && IsSameFile(opened, settings))) {
      close(fd);
    }
  }
  closedir(folder);
}

// A named temporary file, made with `mode`. A collector may lock it in the moment before its maker
// does, and remove it: then the lock is refused or the name names it no more, and another name
// is tried. A name someone else holds is never removed.
bool MakeNamedTemporary(const std::string& directory, mode_t mode, TemporaryFile* temporary) {
  for (int tries = 0; tries < kNameTries; ++tries) {
    std::string name;
    if (!NewTemporaryName(directory, &name)) return false;
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return false;
    const bool heldByCollector = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!heldByCollector && NamesDescriptor(AT_FDCWD, name.c_str(), fd)) {
      temporary->fd = fd;
      temporary->name = name;
      return true;
    }
    close(fd);
  }
  errno = EEXIST;
  return false;
}

bool MakeTemporaryFile(const std::string& directory, mode_t mode, TemporaryFile* temporary) {
  if (access("/proc/self/fd", F_OK) == 0) {
    temporary->fd = open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (temporary->fd >= 0) {
      flock(temporary->fd, LOCK_EX | LOCK_NB);  // before it has a name: never taken for a leftover
      return true;
    }
  }
  return MakeNamedTemporary(directory, mode, temporary);
}

void DiscardTemporaryFile(TemporaryFile* temporary) {
  if (temporary->fd >= 0) close(temporary->fd);
  if (!temporary->name.empty()) unlink(temporary->name.c_str());
}

std::string ProcessPathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Gives an unnamed file a fresh name; linkat through /proc needs no privilege, unlike
// AT_EMPTY_PATH. A name taken already is left to whoever holds it.
bool NameTemporaryFile(TemporaryFile* temporary, const std::string& directory) {
  for (int tries = 0; tries < kNameTries; ++tries) {
    std::string name;
    if (!NewTemporaryName(directory, &name)) return false;
    if (linkat(AT_FDCWD, ProcessPathOf(temporary->fd).c_str(), AT_FDCWD, name.c_str(),
               AT_SYMLINK_FOLLOW) == 0) {
      temporary->name = name;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// Whether an error says the filesystem has no such operation, rather than that it failed.
bool IsUnsupported(int error) {
  return error == EPERM || error == ENOTSUP || error == ENOSYS || error == EINVAL;
}

// Puts the finished temporary file in place only where no file exists yet, so that no other
// writer's new file is lost: by a link, or where the filesystem has no links (FAT, exFAT) by a
// rename that refuses to replace. Where neither exists, an empty file is claimed exclusively and
// the caller starts over to fill it under its lock, holding it open in `*claimed` to take it back
// if filling it fails. A file there already means: start over.
Outcome PlaceNewFile(TemporaryFile* temporary, const std::string& target, int* claimed) {
  if (temporary->name.empty()) {
    if (linkat(AT_FDCWD, ProcessPathOf(temporary->fd).c_str(), AT_FDCWD, target.c_str(),
               AT_SYMLINK_FOLLOW) == 0) {
      return Outcome::kDone;
    }
    return errno == EEXIST ? Outcome::kStartOver : Outcome::kFailed;
  }
  if (link(temporary->name.c_str(), target.c_str()) == 0) return Outcome::kDone;
  if (errno == EEXIST) return Outcome::kStartOver;
  if (!IsUnsupported(errno)) return Outcome::kFailed;
  if (renameat2(AT_FDCWD, temporary->name.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) ==
      0) {
    temporary->name.clear();
    return Outcome::kDone;
  }
  if (errno == EEXIST) return Outcome::kStartOver;
  if (!IsUnsupported(errno)) return Outcome::kFailed;
  *claimed = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (*claimed < 0) return errno == EEXIST ? Outcome::kStartOver : Outcome::kFailed;
  return Outcome::kStartOver;
}

// Renames the finished new file over the old one (open as `originalFd`), unless the old one
// changed meanwhile: then the run starts over. Where the mount or the folder refuses the rename,
// or someone opened the old file meanwhile, the old file is rewritten in place instead.
Outcome ReplaceOldFile(TemporaryFile* temporary, const std::string& directory,
                       const std::string& target, int originalFd, bool leased) {
  // Made append-only while the new file was written (chattr +a), the folder would keep a name
  // given now for good: looked at again just before.
  const bool unnamed = temporary->name.empty();
  if (unnamed && FolderKeepsItsNames(directory)) return Outcome::kRewriteInPlace;
  if (unnamed && !NameTemporaryFile(temporary, directory)) {
    return IsRefusedByFolder(errno) ? Outcome::kRewriteInPlace : Outcome::kFailed;
  }
  if (!StillCarries(target, originalFd, temporary->fd)) return Outcome::kStartOver;
  // A hard link made during the run must see the change too, as one there at the start does.
  if (LeaseBroken(originalFd, leased) || HasOtherNames(originalFd)) {
    return Outcome::kRewriteInPlace;
  }
  if (rename(temporary->name.c_str(), target.c_str()) != 0) {
    return IsRefusedByFolder(errno) ? Outcome::kRewriteInPlace : Outcome::kFailed;
  }
  temporary->name.clear();
  return Outcome::kDone;
}

// The owner's read and write bits of a file: all a replacement has before its mode comes. Read,
// so that a later run of the same user may open a killed run's leftover to see it is one.
mode_t OwnerBitsOf(const struct stat& original) { return original.st_mode & 0600; }

// Whether the filesystem gave the new file no mode bit the old one lacks: some (FUSE mounts among
// them) force modes whatever a file is made with.
bool MadeNoWiderThan(int fd, const struct stat& original) {
  struct stat made;
  return fstat(fd, &made) == 0 && (made.st_mode & 07777 & ~original.st_mode) == 0;
}

// Filesystems that write every changed block to new room: Btrfs, ZFS, bcachefs.
constexpr uint32_t kBtrfsMagic = 0x9123683E;
constexpr uint32_t kZfsMagic = 0x2FC12FC1;
constexpr uint32_t kBcachefsMagic = 0xCA451A4E;

// Whether any block of the file is shared with another file (a reflink copy, a snapshot), so that
// writing over it takes a new block.
bool SharesBlocks(int fd) {
  constexpr unsigned kExtentsAtOnce = 64;
  union {
    struct fiemap map;
    char room[sizeof(struct fiemap) + kExtentsAtOnce * sizeof(struct fiemap_extent)];
  } extents;
  __u64 start = 0;
  for (;;) {
    std::memset(&extents, 0, sizeof extents);
    extents.map.fm_start = start;
    extents.map.fm_length = FIEMAP_MAX_OFFSET - start;
    extents.map.fm_extent_count = kExtentsAtOnce;
    if (ioctl(fd, FS_IOC_FIEMAP, &extents.map) != 0) return false;  // no extents to share (tmpfs)
    if (extents.map.fm_mapped_extents == 0) return false;
    for (unsigned i = 0; i < extents.map.fm_mapped_extents; ++i) {
      const struct fiemap_extent& extent = extents.map.fm_extents[i];
      if ((extent.fe_flags & FIEMAP_EXTENT_SHARED) != 0) return true;
      if ((extent.fe_flags & FIEMAP_EXTENT_LAST) != 0) return false;
      start = extent.fe_logical + extent.fe_length;
    }
  }
}

// Whether writing over the file's own bytes needs free room, as a new file does: on a
// copy-on-write filesystem (Btrfs unless the file is +C), or where its blocks are shared.
bool OverwriteTakesRoom(int fd) {
  struct statfs filesystem;
  if (fstatfs(fd, &filesystem) != 0) return true;
  const uint32_t type = static_cast<uint32_t>(filesystem.f_type);  // a signed word on i386
  if (type == kZfsMagic || type == kBcachefsMagic) return true;
  int flags = 0;
  if (type == kBtrfsMagic && (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0 || !(flags & FS_NOCOW_FL))) {
    return true;
  }
  return SharesBlocks(fd);
}

// Writes the new content to a new file beside `target` and puts it in place whole. Over the old
// file (`original` given, open as `originalFd`, under a lease if `leased`) only when the new file
// carries all of the old one's identity; else the caller rewrites in place. A new settings file is
// created as open(2) would create it.
Outcome PublishNewFile(const std::string& target, std::string_view text,
                       const linux_profile::TextChanges& changes, const struct stat* original,
                       int originalFd, bool leased, int* claimed = nullptr) {
  // The link's own name, where /proc could not name the file it leads to: a file put there would
  // take the link's place.
  if (IsSymbolicLink(target)) {
    return original != nullptr ? Outcome::kRewriteInPlace : Outcome::kFailed;
  }
  const std::string directory = DirectoryOf(target);
  if (original != nullptr && FolderKeepsItsNames(directory)) return Outcome::kRewriteInPlace;
  if (original == nullptr) CollectLeftovers(directory, -1);  // else the caller has
  TemporaryFile temporary;
  // A replacement is made with no more than the old file gives its owner, and no bit for anyone
  // else, until it carries the old file's identity: its mode comes last. A new settings file has
  // from the start what open(2) gives it.
  if (!MakeTemporaryFile(directory, original == nullptr ? 0666 : OwnerBitsOf(*original),
                         &temporary)) {
    return Outcome::kRewriteInPlace;
  }
  if (original != nullptr &&
      (!CarryInodeFlags(originalFd, temporary.fd) || !MadeNoWiderThan(temporary.fd, *original))) {
    DiscardTemporaryFile(&temporary);
    return Outcome::kRewriteInPlace;
  }
  // Where a second copy does not fit, the old file may still take the change, unless writing
  // over its blocks takes new room too.
  if (!WriteNewContent(temporary.fd, text, changes)) {
    const bool outOfRoom = IsOutOfRoom(errno);
    DiscardTemporaryFile(&temporary);
    return outOfRoom && original != nullptr && !OverwriteTakesRoom(originalFd)
               ? Outcome::kRewriteInPlace
               : Outcome::kFailed;
  }
  if (original != nullptr && !CarryIdentity(originalFd, *original, temporary.fd)) {
    DiscardTemporaryFile(&temporary);
    return Outcome::kRewriteInPlace;
  }
  if (fsync(temporary.fd) != 0) {
    const bool outOfRoom = IsOutOfRoom(errno);
    DiscardTemporaryFile(&temporary);
    return outOfRoom && original != nullptr && !OverwriteTakesRoom(originalFd)
               ? Outcome::kRewriteInPlace
               : Outcome::kFailed;
  }

  Outcome outcome = original == nullptr
                        ? PlaceNewFile(&temporary, target, claimed)
                        : ReplaceOldFile(&temporary, directory, target, originalFd, leased);
  // Btrfs (Linux 6.1) does not log the fsync of a file without links, so the data flushed while
  // it was unnamed is lost at a power cut unless the file is flushed again under its name.
  if (outcome == Outcome::kDone && fsync(temporary.fd) != 0) outcome = Outcome::kFailed;
  // Success is reported only once the new name is flushed.
  if (outcome == Outcome::kDone && !SyncDirectory(directory, temporary.fd)) {
    outcome = Outcome::kFailed;
  }
  DiscardTemporaryFile(&temporary);
  return outcome;
}

// Makes room for a file that grows from `oldSize` to `newSize` before any old byte changes, so a
// full disk stops the rewrite with the file as it was. The reservation keeps the visible size, so
// a kill or crash before the write leaves the file as it was too. Where the filesystem cannot
// reserve space (ZFS, many FUSE filesystems), the new content's part past the old end is written
// first instead, and taken back if it does not fit.
bool ReserveSpace(int fd, std::string_view text, const linux_profile::TextChanges& changes, off_t oldSize,
                  off_t newSize) {
  if (newSize <= oldSize) return true;
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, oldSize, newSize - oldSize) == 0) return true;
  if (errno != EOPNOTSUPP && errno != ENOSYS && errno != EINVAL) return false;
  if (WriteNewContent(fd, text, changes, oldSize)) return true;
  while (ftruncate(fd, oldSize) != 0 && errno == EINTR) {
  }
  return false;
}

// The offset of the first byte the changes alter: the bytes before it are never rewritten.
off_t FirstChangedByte(std::string_view text, const linux_profile::TextChanges& changes) {
  if (changes.empty()) return static_cast<off_t>(text.size());
  const linux_profile::Change<char>& first = changes.front();
  size_t same = 0;
  while (same < first.replacement.size() && first.start + same < text.size() &&
         first.replacement[same] == text[first.start + same]) {
    ++same;
  }
  return static_cast<off_t>(first.start + same);
}

// The new content from offset `from` on, in memory.
std::string NewContentFrom(std::string_view text, const linux_profile::TextChanges& changes, off_t from) {
  std::string tail;
  size_t offset = 0;
  auto add = [&](std::string_view part) {
    const size_t start = static_cast<size_t>(from);
    if (offset + part.size() > start) tail.append(part.substr(start > offset ? start - offset : 0));
    offset += part.size();
  };
  size_t copied = 0;
  for (const linux_profile::Change<char>& change : changes) {
    add(text.substr(copied, change.start - copied));
    add(change.replacement);
    copied = change.end;
  }
  add(text.substr(copied));
  return tail;
}

// Up to this size, the changed tail of a file goes out in one write, so a kill leaves it whole
// before or after; a longer one is written from the old bytes and the changes, never copied.
constexpr off_t kOneWriteBytes = 1 << 20;

bool WriteChangedTail(int fd, std::string_view text, const linux_profile::TextChanges& changes,
                      off_t from, off_t newSize) {
  if (newSize - from > kOneWriteBytes) return WriteNewContent(fd, text, changes, from);
  const std::string tail = NewContentFrom(text, changes, from);
  off_t offset = from;
  return WriteAt(fd, tail.data(), tail.size(), &offset, from);
}

// After an error part-way: the old bytes from `from` on again, from memory, and the old size.
void PutBackOldBytes(int fd, std::string_view text, off_t from) {
  off_t offset = from;
  WriteAt(fd, text.data() + from, text.size() - static_cast<size_t>(from), &offset, from);
  while (ftruncate(fd, static_cast<off_t>(text.size())) != 0 && errno == EINTR) {
  }
  fsync(fd);
}

// Where overwriting takes new room, the rewrite of the blocks from `from` to `end` needs that
// many free blocks, and putting the old bytes back after an error as many again. The free count
// is the filesystem's own estimate (statfs), so this refuses a plainly full disk up front, not
// every one.
bool RoomToWriteOver(int fd, off_t from, off_t end) {
  struct statvfs room;
  if (fstatvfs(fd, &room) != 0) return false;
  const unsigned long long block = room.f_frsize != 0 ? room.f_frsize : room.f_bsize;
  const unsigned long long touched = (static_cast<unsigned long long>(end) + block - 1) / block -
                                     static_cast<unsigned long long>(from) / block;
  return room.f_bavail >= 2 * touched;
}

// For a file that no new file can stand in for: a directory where no new file can be made, or an
// identity a new file cannot carry (another owner, a label this process may not set, a
// filesystem without modes). The inode and all on it stay, as with the Windows routine. Only the
// bytes from the first change on are written; an error puts the old ones back.
bool RewriteInPlace(int fd, std::string_view text, const linux_profile::TextChanges& changes) {
  const off_t oldSize = static_cast<off_t>(text.size());
  const off_t newSize = NewSize(text, changes);
  const off_t from = FirstChangedByte(text, changes);
  if (OverwriteTakesRoom(fd) && !RoomToWriteOver(fd, from, std::max(oldSize, newSize))) {
    return false;
  }
  // The reservation is a change to the kernel too, which takes them as a write does.
  KeptPrivileges kept;
  RememberPrivileges(fd, &kept);
  if (!ReserveSpace(fd, text, changes, oldSize, newSize)) {
    PutBackPrivileges(fd, kept);
    return false;
  }
  // Killed between the write and the cut, a shorter file keeps the old file's last bytes: no
  // writer in place can close that window.
  const bool written = WriteChangedTail(fd, text, changes, from, newSize) &&
                       ftruncate(fd, newSize) == 0 && fsync(fd) == 0;
  if (!written) PutBackOldBytes(fd, text, from);
  PutBackPrivileges(fd, kept);
  return written;
}

// One read-modify-write of an existing file under its lock, once the path is known to still name
// the file that was locked.
Outcome UpdateExistingFile(const std::string& target, const char* section, const char* key,
                           const char* value) {
  int fd = OpenForUpdate(target);
  if (fd < 0) return Outcome::kFailed;
  const LockState lock = LockForWriting(fd);
  struct stat locked, named;
  FileText text;
  linux_profile::TextChanges changes;
  Outcome outcome = Outcome::kFailed;
  if (lock == LockState::kWriterHoldsIt || fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode) ||
      (locked.st_mode & 0222) == 0 || IsMarkedReadOnly(fd)) {
    outcome = Outcome::kFailed;
  } else if (stat(target.c_str(), &named) != 0 || !IsSameFile(named, locked)) {
    outcome = Outcome::kStartOver;
  } else if (!text.Read(fd, locked.st_size) ||
             !linux_profile::PlanProfileEdit(text.view(), section, key, value, &changes)) {
    outcome = Outcome::kFailed;
  } else if (linux_profile::ChangesNothing(text.view(), changes)) {
    outcome = Outcome::kDone;
  } else {
    // Every name of a hard-linked file, and everyone who has it open, sees a change in place.
    // A killed run's leftover may be a second name of the file: gone before the links count.
    CollectLeftovers(DirectoryOf(target), fd);
    WriteLease lease;
    if (fstat(fd, &locked) != 0 || locked.st_nlink > 1 || OthersHaveItOpen(fd, &lease)) {
      outcome = Outcome::kRewriteInPlace;
    } else {
      outcome = PublishNewFile(target, text.view(), changes, &locked, fd, lease.held);
    }
    // Beside a reader that still holds its lock, the bytes it reads stay as they are.
    if (outcome == Outcome::kRewriteInPlace) {
      outcome = lock == LockState::kLocked && RewriteInPlace(fd, text.view(), changes)
                    ? Outcome::kDone
                    : Outcome::kFailed;
    }
    ReleaseLease(fd, &lease);  // one who opened the file meanwhile waited for the change, whole
  }
  close(fd);  // releases the lock, after the new content is in place
  return outcome;
}

// Whether `name` names the file `reached`.
bool NamesFile(const std::string& name, const struct stat& reached) {
  struct stat named;
  return stat(name.c_str(), &named) == 0 && IsSameFile(named, reached);
}

// The name the kernel gives the file an open descriptor reached, checked against the file.
bool NameOfDescriptor(int fd, const struct stat& reached, std::string* name) {
  char found[PATH_MAX];
  ssize_t got = readlink(ProcessPathOf(fd).c_str(), found, sizeof found);
  if (got <= 0 || static_cast<size_t>(got) == sizeof found) return false;
  std::string named(found, static_cast<size_t>(got));
  if (!NamesFile(named, reached)) return false;
  *name = named;
  return true;
}

// A dangling link, for a run that would make the file: the kernel follows the link and makes the
// file at its end, as open(2) makes any new settings file (0666 less the umask, or as the folder's
// default ACL says), under its own rules for links. That empty file is this run's claim, filled
// under the lock and taken back if that fails. Without /proc it could not be named to be taken
// back, so nothing is made.
bool ClaimThroughLink(const char* fileName, std::string* target, int* claimed) {
  if (access("/proc/self/fd", F_OK) != 0) return false;
  int fd = open(fileName, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  struct stat made;
  if (fstat(fd, &made) != 0 || !S_ISREG(made.st_mode) || !NameOfDescriptor(fd, made, target)) {
    close(fd);
    return false;
  }
  // A file that someone else made meanwhile is theirs: updated as found, never taken back.
  if (made.st_size == 0 && made.st_nlink == 1 && made.st_uid == geteuid()) {
    *claimed = fd;
  } else {
    close(fd);
  }
  return true;
}

// The file to update, found as open(2) finds it: through a symbolic link only where the kernel's
// path walk follows it (fs.protected_symlinks among its rules), never by reading links here. Its
// name is the one the kernel gives the open file; where /proc cannot tell it, the link's own name,
// through which the kernel finds the file each time and which only an in-place rewrite may use.
// A dangling link gets its file from the kernel too, held in `*claimed`, where `making`. False
// where the kernel refuses.
bool FindTarget(const char* fileName, bool making, std::string* target, int* claimed) {
  *target = fileName;
  struct stat link;
  if (lstat(fileName, &link) != 0 || !S_ISLNK(link.st_mode)) return true;
  int fd = open(fileName, O_PATH | O_CLOEXEC);
  if (fd < 0) {
    // The kernel followed every link and found nothing at the end.
    if (errno != ENOENT) return false;
    return !making || ClaimThroughLink(fileName, target, claimed);
  }
  struct stat reached;
  const bool found = fstat(fd, &reached) == 0;
  if (found) NameOfDescriptor(fd, reached, target);  // else the link's own name stays
  close(fd);
  return found;
}

// One attempt: a new file where there is none, else the existing one updated. `*claimed` holds an
// empty file that an attempt claimed for the next one to fill.
Outcome WriteOnce(const std::string& target, const char* section, const char* key,
                  const char* value, int* claimed) {
  struct stat seen;
  if (stat(target.c_str(), &seen) != 0) {
    if (errno != ENOENT) return Outcome::kFailed;
    if (value == nullptr || key == nullptr) return Outcome::kDone;  // nothing to remove, no file
    const std::string_view empty;
    linux_profile::TextChanges changes;
    if (!linux_profile::PlanProfileEdit(empty, section, key, value, &changes)) return Outcome::kFailed;
    return PublishNewFile(target, empty, changes, nullptr, -1, false, claimed);
  }
  // A directory, FIFO or device is no settings file; a file without write bits stays read-only
  // even for root.
  if (!S_ISREG(seen.st_mode) || (seen.st_mode & 0222) == 0) return Outcome::kFailed;
  return UpdateExistingFile(target, section, key, value);
}

// Removes the empty file a run claimed and could not fill, so nothing is left where there was no
// file: only while the name still holds that inode, still empty.
void TakeBackClaim(int claimed, const std::string& target) {
  struct stat held, named;
  if (fstat(claimed, &held) == 0 && held.st_size == 0 && lstat(target.c_str(), &named) == 0 &&
      IsSameFile(held, named)) {
    unlink(target.c_str());
  }
}

bool WriteProfile(const char* section, const char* key, const char* value, const char* fileName) {
  // Through a symbolic link the file it names is updated and the link stays.
  std::string target;
  int claimed = -1;
  if (!FindTarget(fileName, value != nullptr && key != nullptr, &target, &claimed)) return false;

  const long long deadline = NowMilliseconds() + kStartOverMilliseconds;
  Outcome outcome = WriteOnce(target, section, key, value, &claimed);
  while (outcome == Outcome::kStartOver && NowMilliseconds() < deadline) {
    outcome = WriteOnce(target, section, key, value, &claimed);
  }
  if (claimed >= 0) {
    if (outcome != Outcome::kDone) TakeBackClaim(claimed, target);
    close(claimed);
  }
  return outcome == Outcome::kDone;
}

}  // namespace

bool WriteProfileString(const char* section, const char* key, const char* value,
                        const char* fileName) {
  if (section == nullptr || fileName == nullptr) return false;
  // A write past the file size limit (ulimit -f) then fails with EFBIG, so the old bytes go back,
  // rather than the signal ending the run half-way.
  struct sigaction ignoreSizeLimit = {}, previous;
  ignoreSizeLimit.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignoreSizeLimit, &previous);
  bool written = false;
  try {
    written = WriteProfile(section, key, value, fileName);
  } catch (...) {
    written = false;  // memory ran out before anything was put in place
  }
  sigaction(SIGXFSZ, &previous, nullptr);
  return written;
}

}  // namespace linux_profile

namespace platform {

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* fileName) {
  return linux_profile::WriteProfileString(section, key, value, fileName);
}

}  // namespace platform

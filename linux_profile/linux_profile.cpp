// Linux profile routine: edits one key under a lock and swaps the new content in whole.
//
// The sections of this file, in the order a run meets them:
//   Time             the bounded waits and the start-over deadline
//   Descriptors      Descriptor, which closes on every path; the folder, opened once
//   Reading, writing FileText and the writes of the new content
//   Queue            one flock on the program's folder, so that copies run one at a time
//   Lock and lease   the file's fcntl lock, its opening, the write lease that shows openers
//   Leftovers        temporary names, the cheap sign that one may be there, the collector
//   Temporary file   TemporaryFile, which closes and removes it on every path; its name
//   Going in place   the closed list of reasons, and each call's own refusals
//   Publishing       a new file put in place, or swapped for the old one after a last look
//   In place         room, the rewrite from the first changed byte, the old bytes put back
//   The run          the target found, one attempt, the attempts within the deadline
#include "linux_profile.h"

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
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "identity.h"
#include "platform.h"
#include "profile_text.h"

namespace linux_profile {
namespace {

// kStartOver: another writer created or replaced the file meanwhile; read it again.
// kRewriteInPlace: no new file can stand in for the old one, for one of the reasons below.
enum class Outcome { kDone, kRewriteInPlace, kStartOver, kFailed };

// ---- Time

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

// ---- Descriptors

// An open descriptor, closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { Reset(-1); }
  int get() const { return fd_; }
  void Reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// The folder that holds the settings file, opened once: every later call names the file and its
// temporaries relative to it, so a deep path costs what a short one does and no path is walked
// twice. A folder that may be written but not read (mode 0311) is opened for its path alone: it
// then cannot be flushed, read for leftovers or locked.
struct Place {
  Descriptor folder;
  bool readable = false;
  std::string name;  // the file's own name in the folder, no slash
};

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool OpenPlace(const std::string& path, Place* place) {
  const std::string directory = DirectoryOf(path);
  place->name = BaseNameOf(path);
  place->folder.Reset(openat(AT_FDCWD, directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  place->readable = place->folder.get() >= 0;
  if (!place->readable && errno == EACCES) {
    place->folder.Reset(openat(AT_FDCWD, directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  return place->folder.get() >= 0 && !place->name.empty();
}

// ---- Reading, writing

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
bool WriteNewContent(int fd, std::string_view text, const TextChanges& changes, off_t from = 0) {
  off_t offset = 0;
  size_t copied = 0;
  for (const Change<char>& change : changes) {
    if (!WriteAt(fd, text.data() + copied, change.start - copied, &offset, from) ||
        !WriteAt(fd, change.replacement.data(), change.replacement.size(), &offset, from)) {
      return false;
    }
    copied = change.end;
  }
  return WriteAt(fd, text.data() + copied, text.size() - copied, &offset, from);
}

off_t NewSize(std::string_view text, const TextChanges& changes) {
  size_t size = text.size();
  for (const Change<char>& change : changes) {
    size += change.replacement.size() - (change.end - change.start);
  }
  return static_cast<off_t>(size);
}

// ---- Queue

// Copies of the routine wait for each other here, before any opens the settings file: a copy
// that waited on the file's own lock would hold it open, and so send the one at work in place (a
// write lease sees every open). The lock is a flock on the folder that holds the name the caller
// gave, the program's own folder, so no new file is needed for it; it goes with the descriptor.
// Past the same wait as the file's lock the run goes on without it, for the file's lock still
// keeps writers apart. Where it cannot be had at all (a folder that cannot be read, a filesystem
// without flock on folders, such as NFS), runs are not queued, as before.
bool WaitForOtherCopies(int folder) {
  for (long waited = 0; waited < kLockWaitMilliseconds; waited += kLockPollMilliseconds) {
    if (flock(folder, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    SleepMilliseconds(kLockPollMilliseconds);
  }
  return false;
}

// ---- Lock and lease

// What the wait for the lock ended with. A writer's lock still held past the wait is a change
// under way, perhaps stopped half-way (a frozen container): its file is neither read nor written.
// A reader's leaves the content whole, so a new file may replace it, but nothing goes into it.
enum class LockState { kLocked, kReadersHoldIt, kWriterHoldsIt };

// Waits a bounded time (`wait`, what is left of the lock's wait after the queue's) for other
// writers that use POSIX locks; past that, learns who holds it.
LockState LockForWriting(int fd, long wait) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  for (long waited = 0; waited < wait; waited += kLockPollMilliseconds) {
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
int OpenForUpdate(int folder, const char* name) {
  for (long waited = 0;; waited += kLockPollMilliseconds) {
    int fd = openat(folder, name, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool IsLater(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// Whether the file open as `fd` has more than one name; unknown (an error) counts as failure.
enum class Names { kOne, kMore, kUnknown };

Names CountNames(int fd) {
  struct stat now;
  if (fstat(fd, &now) != 0) return Names::kUnknown;
  return now.st_nlink > 1 ? Names::kMore : Names::kOne;
}

// ---- Leftovers

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

// A name in the folder no one can foresee, so no one can put anything under it first.
bool NewTemporaryName(std::string* name) {
  unsigned char random[8];
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return false;
  static const char kDigits[] = "0123456789abcdef";
  *name = kTemporaryPrefix;
  for (unsigned char byte : random) {
    *name += kDigits[byte >> 4];
    *name += kDigits[byte & 15];
  }
  *name += ".tmp";
  return true;
}

// Whether `name` (in the folder `folder`) names the file open as `fd`, not following a link.
bool NamesDescriptor(int folder, const char* name, int fd) {
  struct stat held, named;
  return fstat(fd, &held) == 0 && fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         IsSameFile(held, named);
}

// Whether a killed run may have left something in the folder, without reading it. A leftover's
// name changed the folder; so does every run's swap, which also changes the settings file's ctime
// no earlier. So the folder's mtime later than that ctime says some name came or went since the
// file last changed; a second name of the file says a run was killed between linking it in place
// and removing its temporary name. What this misses: a leftover made before some later change
// to the file that no name came with (a chmod, another program's write, an in-place run that
// found no sign either), until the folder changes again.
bool LeftoversMayBeThere(int folder, const struct stat& settings) {
  struct stat directory;
  return settings.st_nlink > 1 || fstat(folder, &directory) != 0 ||
         IsLater(directory.st_mtim, settings.st_ctim);
}

// Removes what killed runs left in the folder: files under a temporary name that no run holds
// locked. A lock is seen alike from every process namespace, unlike a process ID. Only a file
// locked here whose name still names it goes, and only one of this user or of the settings file's
// owner (`settingsFd`, -1 for none yet): nothing another user put there. A leftover that is a
// second name of the settings file is locked through `settingsFd` and that lock kept to the end
// of the run, for closing another descriptor of the file would drop the run's own lock on it.
void CollectLeftovers(const Place& place, int settingsFd) {
  struct stat settings;
  const bool hasSettings = settingsFd >= 0 && fstat(settingsFd, &settings) == 0;
  // A folder that cannot be read keeps what it has.
  const int listing = openat(place.folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return;
  DIR* folder = fdopendir(listing);
  if (folder == nullptr) {
    close(listing);
    return;
  }
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

// ---- Temporary file

std::string ProcessPathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// A temporary file in the settings file's folder: unnamed where the filesystem allows (and /proc
// can name it later), so that a killed run leaves nothing behind; otherwise under a hidden name of
// its own. It is locked (flock) from before anyone may take it for a leftover until the run ends,
// and closed, and its name (if it still has one) removed, when it goes out of scope.
class TemporaryFile {
 public:
  explicit TemporaryFile(int folder) : folder_(folder) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) close(fd_);
    if (!name_.empty()) unlinkat(folder_, name_.c_str(), 0);
  }

  int fd() const { return fd_; }
  bool unnamed() const { return name_.empty(); }
  const char* name() const { return name_.c_str(); }
  // The name has gone to the settings file (a rename): nothing to remove.
  void NameGone() { name_.clear(); }

  bool Make(mode_t mode) {
    if (access("/proc/self/fd", F_OK) == 0) {
      fd_ = openat(folder_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
      if (fd_ >= 0) {
        flock(fd_, LOCK_EX | LOCK_NB);  // before it has a name: never taken for a leftover
        return true;
      }
    }
    return MakeNamed(mode);
  }

  // Gives an unnamed file a fresh name; linkat through /proc needs no privilege, unlike
  // AT_EMPTY_PATH. A name taken already is left to whoever holds it.
  bool Name() {
    for (int tries = 0; tries < kNameTries; ++tries) {
      std::string name;
      if (!NewTemporaryName(&name)) return false;
      if (linkat(AT_FDCWD, ProcessPathOf(fd_).c_str(), folder_, name.c_str(), AT_SYMLINK_FOLLOW) ==
          0) {
        name_ = name;
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

 private:
  // A named temporary file, made with `mode`. A collector may lock it in the moment before its
  // maker does, and remove it: then the lock is refused or the name names it no more, and another
  // name is tried. A name someone else holds is never removed.
  bool MakeNamed(mode_t mode) {
    for (int tries = 0; tries < kNameTries; ++tries) {
      std::string name;
      if (!NewTemporaryName(&name)) return false;
      int fd =
          openat(folder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      if (fd < 0 && errno == EEXIST) continue;
      if (fd < 0) return false;
      const bool heldByCollector = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
      if (!heldByCollector && NamesDescriptor(folder_, name.c_str(), fd)) {
        fd_ = fd;
        name_ = name;
        return true;
      }
      close(fd);
    }
    errno = EEXIST;
    return false;
  }

  int folder_;
  int fd_ = -1;
  std::string name_;  // empty while the file has no name, or once it has gone to the file
};

// ---- Going in place

// The closed list of reasons to rewrite the file in place rather than replace it: the folder
// refuses a new name (or the file cannot be named at all, through a link without /proc); the new
// file cannot carry the old one's identity; the file has other names; others have it open; or a
// second copy does not fit, where writing over the old blocks takes no new room. Any other error
// (EMFILE, ENOMEM, EIO, ...) means failure, with the file as it was.
enum class InPlaceReason {
  kFolderRefusesName,
  kIdentityNotCarried,
  kOtherNames,
  kOtherOpeners,
  kNoRoomForCopy
};

Outcome GoInPlace(InPlaceReason) { return Outcome::kRewriteInPlace; }

bool IsOutOfRoom(int error) { return error == ENOSPC || error == EDQUOT; }

// Whether overwriting needs new room, as a new file does: see OverwriteTakesRoom below.
bool OverwriteTakesRoom(int fd);

// No room for the new file: the old one may take the change, where writing over it needs none.
Outcome WithoutRoomForCopy(const struct stat* original, int originalFd) {
  return original != nullptr && !OverwriteTakesRoom(originalFd)
             ? GoInPlace(InPlaceReason::kNoRoomForCopy)
             : Outcome::kFailed;
}

// Errors of making a file in the folder by which the folder refuses it (not writable, read-only,
// a policy), where the file itself may still be written.
bool IsTemporaryRefusedByFolder(int error) {
  return error == EACCES || error == EPERM || error == EROFS;
}

// Errors of linking the unnamed file into the folder by which the mount or folder refuses it.
bool IsNamingRefusedByFolder(int error) {
  return error == EPERM || error == EACCES || error == EROFS || error == EXDEV || error == EBUSY;
}

// Errors of the rename over the old file by which the mount or the folder refuses it (a file
// bind-mounted into the folder, another project's folder, a folder made read-only meanwhile).
bool IsRenameRefusedByFolder(int error) {
  return error == EBUSY || error == EXDEV || error == EPERM || error == EACCES || error == EROFS;
}

// Errors by which carrying the identity says the new file cannot have it, rather than failing.
bool IsIdentityRefused(int error) {
  return error == EPERM || error == EACCES || error == ENOTSUP || error == EINVAL ||
         error == ENOTTY || error == ENOSYS || error == E2BIG || error == EROFS;
}

// Whether link(2) says the filesystem has no hard links (FAT, exFAT), rather than that it failed.
bool IsLinkUnsupported(int error) {
  return error == EPERM || error == ENOTSUP || error == ENOSYS || error == EINVAL;
}

// Whether renameat2 says it has no RENAME_NOREPLACE, rather than that it failed.
bool IsRenameNoReplaceUnsupported(int error) {
  return error == EINVAL || error == ENOTSUP || error == ENOSYS || error == EPERM;
}

// An append-only or immutable folder lets no name be replaced or removed: a new file could
// neither take the old one's place nor go again.
bool FolderKeepsItsNames(int folder) {
  struct statx status;
  if (statx(folder, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &status) != 0) return false;
  return (status.stx_attributes & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
}

// ---- Publishing

// Makes a new name in the folder survive a power cut. Where the folder cannot be flushed (opened
// for its path alone, mode 0311), the whole filesystem is, through `newFile`.
bool SyncFolder(const Place& place, int newFile) {
  const bool synced = place.readable && fsync(place.folder.get()) == 0;
  return synced || syncfs(newFile) == 0;
}

// Claims the name where the filesystem has neither links nor no-replace renames: an empty file
// made exclusively and locked at once. It is this run's only while this run holds that lock; one
// that another locked first is theirs, and the run starts over to find it.
Outcome ClaimName(const Place& place, int* claimed) {
  Descriptor made(openat(place.folder.get(), place.name.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (made.get() < 0) return errno == EEXIST ? Outcome::kStartOver : Outcome::kFailed;
  if (flock(made.get(), LOCK_EX | LOCK_NB) != 0) return Outcome::kStartOver;
  *claimed = made.Release();
  return Outcome::kStartOver;
}

// Puts the finished temporary file in place only where no file exists yet, so that no other
// writer's new file is lost: by a link, or where the filesystem has no links (FAT, exFAT) by a
// rename that refuses to replace. Where neither exists, the name is claimed (above) and the
// caller starts over to fill it under its lock. A file there already means: start over.
Outcome PlaceNewFile(TemporaryFile* temporary, const Place& place, int* claimed) {
  const int folder = place.folder.get();
  const char* target = place.name.c_str();
  if (temporary->unnamed()) {
    if (linkat(AT_FDCWD, ProcessPathOf(temporary->fd()).c_str(), folder, target,
               AT_SYMLINK_FOLLOW) == 0) {
      return Outcome::kDone;
    }
    return errno == EEXIST ? Outcome::kStartOver : Outcome::kFailed;
  }
  if (linkat(folder, temporary->name(), folder, target, 0) == 0) return Outcome::kDone;
  if (errno == EEXIST) return Outcome::kStartOver;
  if (!IsLinkUnsupported(errno)) return Outcome::kFailed;
  if (renameat2(folder, temporary->name(), folder, target, RENAME_NOREPLACE) == 0) {
    temporary->NameGone();
    return Outcome::kDone;
  }
  if (errno == EEXIST) return Outcome::kStartOver;
  if (!IsRenameNoReplaceUnsupported(errno)) return Outcome::kFailed;
  return ClaimName(place, claimed);
}

// Renames the finished new file over the old one (open as `originalFd`, as it was when read:
// `original`), unless the old one changed meanwhile: then the run starts over. Where the mount or
// the folder refuses the rename, or someone opened or linked the old file meanwhile, the old file
// is rewritten in place instead.
Outcome ReplaceOldFile(TemporaryFile* temporary, const Place& place, int originalFd,
                       const struct stat& original, bool leased) {
  const int folder = place.folder.get();
  // Made append-only while the new file was written (chattr +a), the folder would keep a name
  // given now for good: looked at again just before.
  const bool unnamed = temporary->unnamed();
  if (unnamed && FolderKeepsItsNames(folder)) {
    return GoInPlace(InPlaceReason::kFolderRefusesName);
  }
  if (unnamed && !temporary->Name()) {
    return IsNamingRefusedByFolder(errno) ? GoInPlace(InPlaceReason::kFolderRefusesName)
                                          : Outcome::kFailed;
  }
  if (!StillCarries(folder, place.name.c_str(), originalFd, original, temporary->fd())) {
    return Outcome::kStartOver;
  }
  if (LeaseBroken(originalFd, leased)) return GoInPlace(InPlaceReason::kOtherOpeners);
  // A hard link made during the run must see the change too, as one there at the start does.
  const Names names = CountNames(originalFd);
  if (names == Names::kUnknown) return Outcome::kFailed;
  if (names == Names::kMore) return GoInPlace(InPlaceReason::kOtherNames);
  if (renameat(folder, temporary->name(), folder, place.name.c_str()) != 0) {
    return IsRenameRefusedByFolder(errno) ? GoInPlace(InPlaceReason::kFolderRefusesName)
                                          : Outcome::kFailed;
  }
  temporary->NameGone();
  return Outcome::kDone;
}

// The owner's read and write bits of a file: all a replacement has before its mode comes. Read,
// so that a later run of the same user may open a killed run's leftover to see it is one.
mode_t OwnerBitsOf(const struct stat& original) { return original.st_mode & 0600; }

// Whether the filesystem gave the new file no mode bit the old one lacks: some (FUSE mounts among
// them) force modes whatever a file is made with. A wider mode is an identity not carried.
bool MadeNoWiderThan(int fd, const struct stat& original) {
  struct stat made;
  if (fstat(fd, &made) != 0) return false;
  if ((made.st_mode & 07777 & ~original.st_mode) == 0) return true;
  errno = EPERM;
  return false;
}

// Where the identity could not be carried: in place if the reason is one of the list's.
Outcome IdentityNotCarried(int error, const struct stat* original, int originalFd) {
  if (IsOutOfRoom(error)) return WithoutRoomForCopy(original, originalFd);
  return IsIdentityRefused(error) ? GoInPlace(InPlaceReason::kIdentityNotCarried)
                                  : Outcome::kFailed;
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

// Writes the new content to a new file beside the settings file and puts it in place whole. Over
// the old file (`original` given, open as `originalFd`, under a lease if `leased`) only when the
// new file carries all of the old one's identity; else the caller rewrites in place. A new
// settings file is created as open(2) would create it.
Outcome PublishNewFile(const Place& place, std::string_view text, const TextChanges& changes,
                       const struct stat* original, int originalFd, bool leased,
                       int* claimed = nullptr) {
  const int folder = place.folder.get();
  // The link's own name, where /proc could not name the file it leads to: a file put there would
  // take the link's place.
  struct stat named;
  if (fstatat(folder, place.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(named.st_mode)) {
    return original != nullptr ? GoInPlace(InPlaceReason::kFolderRefusesName) : Outcome::kFailed;
  }
  if (original != nullptr && FolderKeepsItsNames(folder)) {
    return GoInPlace(InPlaceReason::kFolderRefusesName);
  }
  if (original == nullptr) CollectLeftovers(place, -1);  // else the caller has, where a sign says
  TemporaryFile temporary(folder);
  // A replacement is made with no more than the old file gives its owner, and no bit for anyone
  // else, until it carries the old file's identity: its mode comes last. A new settings file has
  // from the start what open(2) gives it.
  if (!temporary.Make(original == nullptr ? 0666 : OwnerBitsOf(*original))) {
    if (original == nullptr) return Outcome::kFailed;
    if (IsOutOfRoom(errno)) return WithoutRoomForCopy(original, originalFd);
    return IsTemporaryRefusedByFolder(errno) ? GoInPlace(InPlaceReason::kFolderRefusesName)
                                             : Outcome::kFailed;
  }
  if (original != nullptr && (!CarryInodeFlags(originalFd, temporary.fd()) ||
                              !MadeNoWiderThan(temporary.fd(), *original))) {
    return IdentityNotCarried(errno, original, originalFd);
  }
  // Where a second copy does not fit, the old file may still take the change, unless writing
  // over its blocks takes new room too.
  if (!WriteNewContent(temporary.fd(), text, changes)) {
    return IsOutOfRoom(errno) ? WithoutRoomForCopy(original, originalFd) : Outcome::kFailed;
  }
  if (original != nullptr && !CarryIdentity(originalFd, *original, temporary.fd())) {
    return IdentityNotCarried(errno, original, originalFd);
  }
  if (fsync(temporary.fd()) != 0) {
    return IsOutOfRoom(errno) ? WithoutRoomForCopy(original, originalFd) : Outcome::kFailed;
  }

  Outcome outcome = original == nullptr
                        ? PlaceNewFile(&temporary, place, claimed)
                        : ReplaceOldFile(&temporary, place, originalFd, *original, leased);
  // Btrfs (Linux 6.1) does not log the fsync of a file without links, so the data flushed while
  // it was unnamed is lost at a power cut unless the file is flushed again under its name.
  if (outcome == Outcome::kDone && fsync(temporary.fd()) != 0) outcome = Outcome::kFailed;
  // Success is reported only once the new name is flushed.
  if (outcome == Outcome::kDone && !SyncFolder(place, temporary.fd())) outcome = Outcome::kFailed;
  return outcome;
}

// ---- In place

// Makes room for a file that grows from `oldSize` to `newSize` before any old byte changes, so a
// full disk stops the rewrite with the file as it was. The reservation keeps the visible size, so
// a kill or crash before the write leaves the file as it was too. Where the filesystem cannot
// reserve space (ZFS, many FUSE filesystems), the new content's part past the old end is written
// first instead, and taken back if it does not fit.
bool ReserveSpace(int fd, std::string_view text, const TextChanges& changes, off_t oldSize,
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
off_t FirstChangedByte(std::string_view text, const TextChanges& changes) {
  if (changes.empty()) return static_cast<off_t>(text.size());
  const Change<char>& first = changes.front();
  size_t same = 0;
  while (same < first.replacement.size() && first.start + same < text.size() &&
         first.replacement[same] == text[first.start + same]) {
    ++same;
  }
  return static_cast<off_t>(first.start + same);
}

// The new content from offset `from` on, in memory.
std::string NewContentFrom(std::string_view text, const TextChanges& changes, off_t from) {
  std::string tail;
  size_t offset = 0;
  auto add = [&](std::string_view part) {
    const size_t start = static_cast<size_t>(from);
    if (offset + part.size() > start) tail.append(part.substr(start > offset ? start - offset : 0));
    offset += part.size();
  };
  size_t copied = 0;
  for (const Change<char>& change : changes) {
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

bool WriteChangedTail(int fd, std::string_view text, const TextChanges& changes, off_t from,
                      off_t newSize) {
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

// Whether the file carries what the kernel takes from it on a write: a set-user-ID bit, a
// set-group-ID bit with group execute, or file capabilities. Unknown counts as yes.
bool HoldsPrivileges(int fd) {
  struct stat now;
  if (fstat(fd, &now) != 0) return true;
  if ((now.st_mode & S_ISUID) != 0 || (now.st_mode & (S_ISGID | S_IXGRP)) == (S_ISGID | S_IXGRP)) {
    return true;
  }
  return fgetxattr(fd, "security.capability", nullptr, 0) >= 0 ||
         (errno != ENODATA && errno != ENOTSUP);
}

// For a file that no new file can stand in for (the reasons above). The inode and all on it stay,
// as with the Windows routine. Only the bytes from the first change on are written; an error puts
// the old ones back. A file that holds privileges is not written at all: the kernel would take
// them at the first write, and putting them back would arm them on bytes another may have written
// meanwhile, or undo another's chmod.
bool RewriteInPlace(int fd, std::string_view text, const TextChanges& changes) {
  if (HoldsPrivileges(fd)) return false;
  const off_t oldSize = static_cast<off_t>(text.size());
  const off_t newSize = NewSize(text, changes);
  const off_t from = FirstChangedByte(text, changes);
  if (OverwriteTakesRoom(fd) && !RoomToWriteOver(fd, from, std::max(oldSize, newSize))) {
    return false;
  }
  if (!ReserveSpace(fd, text, changes, oldSize, newSize)) return false;
  // Killed between the write and the cut, a shorter file keeps the old file's last bytes: no
  // writer in place can close that window.
  const bool written = WriteChangedTail(fd, text, changes, from, newSize) &&
                       ftruncate(fd, newSize) == 0 && fsync(fd) == 0;
  if (!written) PutBackOldBytes(fd, text, from);
  return written;
}

// ---- The run

// One read-modify-write of an existing file under its lock, once the name is known to still name
// the file that was locked.
Outcome UpdateExistingFile(const Place& place, const char* section, const char* key,
                           const char* value, long lockWait) {
  Descriptor file(OpenForUpdate(place.folder.get(), place.name.c_str()));
  const int fd = file.get();
  if (fd < 0) return Outcome::kFailed;
  const LockState lock = LockForWriting(fd, lockWait);
  struct stat locked, named, current;
  FileText text;
  TextChanges changes;
  Outcome outcome = Outcome::kFailed;
  if (lock == LockState::kWriterHoldsIt || fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode) ||
      (locked.st_mode & 0222) == 0 || IsMarkedReadOnly(fd)) {
    outcome = Outcome::kFailed;
  } else if (fstatat(place.folder.get(), place.name.c_str(), &named, 0) != 0 ||
             !IsSameFile(named, locked)) {
    outcome = Outcome::kStartOver;
  } else if (!text.Read(fd, locked.st_size) ||
             !PlanProfileEdit(text.view(), section, key, value, &changes)) {
    outcome = Outcome::kFailed;
  } else if (ChangesNothing(text.view(), changes)) {
    outcome = Outcome::kDone;
  } else {
    // Every name of a hard-linked file, and everyone who has it open, sees a change in place.
    // A killed run's leftover may be a second name of the file: gone before the links count.
    if (LeftoversMayBeThere(place.folder.get(), locked)) CollectLeftovers(place, fd);
    WriteLease lease;
    if (fstat(fd, &current) != 0) {
      outcome = Outcome::kFailed;
    } else if (current.st_size != locked.st_size || !SameTime(current.st_mtim, locked.st_mtim)) {
      outcome = Outcome::kStartOver;  // written meanwhile by one who takes no lock
    } else if (current.st_nlink > 1) {
      outcome = GoInPlace(InPlaceReason::kOtherNames);
    } else if (OthersHaveItOpen(fd, &lease)) {
      outcome = GoInPlace(InPlaceReason::kOtherOpeners);
    } else {
      outcome = PublishNewFile(place, text.view(), changes, &current, fd, lease.held);
    }
    // Beside a reader that still holds its lock, the bytes it reads stay as they are.
    if (outcome == Outcome::kRewriteInPlace) {
      outcome = lock == LockState::kLocked && RewriteInPlace(fd, text.view(), changes)
                    ? Outcome::kDone
                    : Outcome::kFailed;
    }
    ReleaseLease(fd, &lease);  // one who opened the file meanwhile waited for the change, whole
  }
  return outcome;  // the lock goes with the descriptor, after the new content is in place
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

// Where the file was found through a link.
struct Target {
  std::string path;
  bool reachedThroughLink = false;
  struct stat reached;
  int claimed = -1;  // an empty file this run made and holds locked, to fill or take back
};

// A dangling link, for a run that would make the file: the kernel follows the link and makes the
// file at its end, as open(2) makes any new settings file (0666 less the umask, or as the folder's
// default ACL says), under its own rules for links. That empty file is this run's claim only if
// this run locks it at once and it is still empty, of one name, and this user's: another run's
// claim, locked by that run, is updated as found and never taken back. Without /proc it could not
// be named to be taken back, so nothing is made.
bool ClaimThroughLink(const char* fileName, Target* target) {
  if (access("/proc/self/fd", F_OK) != 0) return false;
  Descriptor made(open(fileName, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
  if (made.get() < 0) return false;
  const bool locked = flock(made.get(), LOCK_EX | LOCK_NB) == 0;
  if (fstat(made.get(), &target->reached) != 0 || !S_ISREG(target->reached.st_mode) ||
      !NameOfDescriptor(made.get(), target->reached, &target->path)) {
    return false;
  }
  target->reachedThroughLink = true;
  const struct stat& file = target->reached;
  if (locked && file.st_size == 0 && file.st_nlink == 1 && file.st_uid == geteuid()) {
    target->claimed = made.Release();
  }
  return true;
}

// The file to update, found as open(2) finds it: through a symbolic link only where the kernel's
// path walk follows it (fs.protected_symlinks among its rules), never by reading links here. Its
// name is the one the kernel gives the open file; where /proc cannot tell it, the link's own name,
// through which the kernel finds the file each time and which only an in-place rewrite may use.
// A dangling link gets its file from the kernel too, held in `claimed`, where `making`. False
// where the kernel refuses.
bool FindTarget(const char* fileName, bool making, Target* target) {
  target->path = fileName;
  struct stat link;
  if (lstat(fileName, &link) != 0 || !S_ISLNK(link.st_mode)) return true;
  Descriptor reached(open(fileName, O_PATH | O_CLOEXEC));
  if (reached.get() < 0) {
    // The kernel followed every link and found nothing at the end.
    if (errno != ENOENT) return false;
    return !making || ClaimThroughLink(fileName, target);
  }
  if (fstat(reached.get(), &target->reached) != 0) return false;
  // Else the link's own name stays.
  target->reachedThroughLink = NameOfDescriptor(reached.get(), target->reached, &target->path);
  return true;
}

// One attempt: a new file where there is none, else the existing one updated. `*claimed` holds an
// empty file that an attempt claimed for the next one to fill; `lockWait` bounds the lock's wait.
Outcome WriteOnce(const Place& place, const char* section, const char* key, const char* value,
                  int* claimed, long lockWait) {
  struct stat seen;
  if (fstatat(place.folder.get(), place.name.c_str(), &seen, 0) != 0) {
    if (errno != ENOENT) return Outcome::kFailed;
    if (value == nullptr || key == nullptr) return Outcome::kDone;  // nothing to remove, no file
    const std::string_view empty;
    TextChanges changes;
    if (!PlanProfileEdit(empty, section, key, value, &changes)) {
      return Outcome::kFailed;
    }
    return PublishNewFile(place, empty, changes, nullptr, -1, false, claimed);
  }
  // A directory, FIFO or device is no settings file; a file without write bits stays read-only
  // even for root.
  if (!S_ISREG(seen.st_mode) || (seen.st_mode & 0222) == 0) return Outcome::kFailed;
  return UpdateExistingFile(place, section, key, value, lockWait);
}

// Removes the empty file a run claimed and could not fill, so nothing is left where there was no
// file: only while the name still holds that inode, still empty. The run holds its lock on it.
void TakeBackClaim(int claimed, const Place& place) {
  struct stat held, named;
  if (fstat(claimed, &held) == 0 && held.st_size == 0 &&
      fstatat(place.folder.get(), place.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      IsSameFile(held, named)) {
    unlinkat(place.folder.get(), place.name.c_str(), 0);
  }
}

bool WriteProfile(const char* section, const char* key, const char* value, const char* fileName) {
  // Copies wait for each other in the folder of the name they were given, before anything else.
  Place given;
  if (!OpenPlace(fileName, &given)) return false;
  const long long queued = NowMilliseconds();
  if (given.readable) WaitForOtherCopies(given.folder.get());
  // Beside a copy stopped half-way, the queue's wait and the lock's together take no longer
  // than the lock's alone.
  const long firstLockWait =
      std::max(0L, kLockWaitMilliseconds - static_cast<long>(NowMilliseconds() - queued));

  // Through a symbolic link the file it names is updated, in its own folder, and the link stays.
  Target target;
  if (!FindTarget(fileName, value != nullptr && key != nullptr, &target)) return false;
  Descriptor claim(target.claimed);
  Place found;
  const bool elsewhere = target.path != fileName;
  if (elsewhere && !OpenPlace(target.path, &found)) return false;
  const Place& place = elsewhere ? found : given;
  // The folder opened is the one the file was found in: checked once, then used for every call.
  struct stat named;
  if (target.reachedThroughLink &&
      (fstatat(place.folder.get(), place.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
       !IsSameFile(named, target.reached))) {
    return false;
  }

  int claimed = claim.Release();
  const long long deadline = NowMilliseconds() + kStartOverMilliseconds;
  Outcome outcome = WriteOnce(place, section, key, value, &claimed, firstLockWait);
  while (outcome == Outcome::kStartOver && NowMilliseconds() < deadline) {
    outcome = WriteOnce(place, section, key, value, &claimed, kLockWaitMilliseconds);
  }
  claim.Reset(claimed);
  if (claimed >= 0 && outcome != Outcome::kDone) TakeBackClaim(claimed, place);
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
    written = false;  // memory ran out: nothing is left half-done, for nothing needs undoing
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

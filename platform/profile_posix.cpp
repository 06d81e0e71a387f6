// POSIX profile routine: edits one key under a lock and swaps the new content in whole.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform.h"
#include "profile_text.h"

namespace platform {
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
bool WriteNewContent(int fd, std::string_view text, const profile::TextChanges& changes,
                     off_t from = 0) {
  off_t offset = 0;
  size_t copied = 0;
  for (const profile::Change<char>& change : changes) {
    if (!WriteAt(fd, text.data() + copied, change.start - copied, &offset, from) ||
        !WriteAt(fd, change.replacement.data(), change.replacement.size(), &offset, from)) {
      return false;
    }
    copied = change.end;
  }
  return WriteAt(fd, text.data() + copied, text.size() - copied, &offset, from);
}

off_t NewSize(std::string_view text, const profile::TextChanges& changes) {
  size_t size = text.size();
  for (const profile::Change<char>& change : changes) {
    size += change.replacement.size() - (change.end - change.start);
  }
  return static_cast<off_t>(size);
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Waits a bounded time for other writers that use POSIX locks; past that, goes on without.
void LockForWriting(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  for (long waited = 0; waited < kLockWaitMilliseconds; waited += kLockPollMilliseconds) {
    if (fcntl(fd, F_SETLK, &lock) == 0) return;
    if (errno != EACCES && errno != EAGAIN && errno != EINTR) return;  // no locks here, e.g. NFS
    SleepMilliseconds(kLockPollMilliseconds);
  }
}

bool IsSameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The names of a file's extended attributes, each ended by a NUL; none where the filesystem
// keeps none.
bool ListAttributes(int fd, std::string* names) {
  for (;;) {
    ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;
    names->resize(static_cast<size_t>(size));
    if (size == 0) return true;
    ssize_t got = flistxattr(fd, &(*names)[0], names->size());
    if (got >= 0) return names->resize(static_cast<size_t>(got)), true;
    if (errno != ERANGE) return false;  // else the list grew meanwhile
  }
}

bool ReadAttribute(int fd, const char* name, std::string* value) {
  for (;;) {
    ssize_t size = fgetxattr(fd, name, nullptr, 0);
    if (size < 0) return false;
    value->resize(static_cast<size_t>(size));
    if (size == 0) return true;
    ssize_t got = fgetxattr(fd, name, &(*value)[0], value->size());
    if (got >= 0) return value->resize(static_cast<size_t>(got)), true;
    if (errno != ERANGE) return false;
  }
}

bool HasName(const std::string& names, const char* name) {
  for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    if (std::strcmp(names.c_str() + at, name) == 0) return true;
  }
  return false;
}

// Integrity measurements belong to the inode and its content: a copy on a new file would be
// false, so a file that has them is rewritten in place, where the kernel keeps them.
bool IsBoundToInode(const char* name) {
  return std::strcmp(name, "security.ima") == 0 || std::strcmp(name, "security.evm") == 0;
}

// Gives the new file every extended attribute of the old one (its access ACL among them: the
// kernel keeps it as one), and takes away those the new file got that the old one lacks, such as
// an ACL inherited from the folder: it ends with exactly the old file's.
bool CopyAttributes(int from, int to) {
  std::string names, value, added;
  if (!ListAttributes(from, &names)) return false;
  for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const char* name = names.c_str() + at;
    if (IsBoundToInode(name) || !ReadAttribute(from, name, &value) ||
        fsetxattr(to, name, value.data(), value.size(), 0) != 0) {
      return false;
    }
  }
  if (!ListAttributes(to, &added)) return false;
  for (size_t at = 0; at < added.size(); at = added.find('\0', at) + 1) {
    const char* name = added.c_str() + at;
    // XFS shows an ACL under a second name too, which goes with the first.
    if (!HasName(names, name) && fremovexattr(to, name) != 0 && errno != ENODATA) return false;
  }
  return true;
}

// Makes the new file `to` what the old file `from` is to a reader or an access check: owner and
// group, mode, ACL and every other extended attribute. False when any of it cannot be carried;
// such a file must not be published, for it would be another file with other rights.
bool CarryIdentity(int from, const struct stat& original, int to) {
  struct stat created;
  if (fstat(to, &created) != 0) return false;
  // Changing the owner clears set-ID bits, so the mode follows it.
  if ((created.st_uid != original.st_uid || created.st_gid != original.st_gid) &&
      fchown(to, original.st_uid, original.st_gid) != 0) {
    return false;
  }
  if (!CopyAttributes(from, to) || fstat(to, &created) != 0) return false;
  if ((created.st_mode & 07777) != (original.st_mode & 07777) &&
      (fchmod(to, original.st_mode & 07777) != 0 || fstat(to, &created) != 0)) {
    return false;
  }
  return created.st_uid == original.st_uid && created.st_gid == original.st_gid &&
         (created.st_mode & 07777) == (original.st_mode & 07777);
}

// A temporary file in the target's directory: unnamed where the filesystem allows (and /proc can
// name it later), so that a killed run leaves nothing behind; otherwise under a hidden name unique
// to this run. It gets `mode` as open(2) gives it: less the umask or as the folder's default ACL
// says, and the group of a set-group-ID folder.
struct TemporaryFile {
  int fd = -1;
  std::string name;  // empty while the file has no name
};

bool MakeTemporaryFile(const std::string& directory, mode_t mode, TemporaryFile* temporary) {
  if (access("/proc/self/fd", F_OK) == 0) {
    temporary->fd = open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (temporary->fd >= 0) return true;
  }
  struct timespec now = {0, 0};
  clock_gettime(CLOCK_REALTIME, &now);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    temporary->name = directory + "/.settings.ini." + std::to_string(getpid()) + "." +
                      std::to_string(now.tv_nsec) + "." + std::to_string(attempt) + ".tmp";
    temporary->fd =
        open(temporary->name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (temporary->fd >= 0 || errno != EEXIST) break;
  }
  if (temporary->fd < 0) temporary->name.clear();
  return temporary->fd >= 0;
}

void DiscardTemporaryFile(TemporaryFile* temporary) {
  if (temporary->fd >= 0) close(temporary->fd);
  if (!temporary->name.empty()) unlink(temporary->name.c_str());
}

std::string ProcessPathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Gives an unnamed file a name; linkat through /proc needs no privilege, unlike AT_EMPTY_PATH.
// The name holds this process's ID, so a file under it can only be a killed run's leftover.
bool NameTemporaryFile(TemporaryFile* temporary, const std::string& directory) {
  std::string name = directory + "/.settings.ini." + std::to_string(getpid()) + ".new";
  unlink(name.c_str());
  if (linkat(AT_FDCWD, ProcessPathOf(temporary->fd).c_str(), AT_FDCWD, name.c_str(),
             AT_SYMLINK_FOLLOW) != 0) {
    return false;
  }
  temporary->name = name;
  return true;
}

// Whether an error says the filesystem has no such operation, rather than that it failed.
bool IsUnsupported(int error) {
  return error == EPERM || error == ENOTSUP || error == ENOSYS || error == EINVAL;
}

// Puts the finished temporary file in place only where no file exists yet, so that no other
// writer's new file is lost: by a link, or where the filesystem has no links (FAT, exFAT) by a
// rename that refuses to replace. Where neither exists, an empty file is claimed exclusively and
// the caller starts over to fill it under its lock. A file there already means: start over.
Outcome PlaceNewFile(TemporaryFile* temporary, const std::string& target) {
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
  int claimed = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (claimed < 0) return errno == EEXIST ? Outcome::kStartOver : Outcome::kFailed;
  close(claimed);
  return Outcome::kStartOver;
}

// Writes the new content to a new file beside `target` and puts it in place whole. Over the old
// file (`original` given, open as `originalFd`) only when the new file carries all of the old
// one's identity; else the caller rewrites in place. A new settings file is created as open(2)
// would create it.
Outcome PublishNewFile(const std::string& target, std::string_view text,
                       const profile::TextChanges& changes, const struct stat* original,
                       int originalFd) {
  const std::string directory = DirectoryOf(target);
  TemporaryFile temporary;
  // A replacement stays private until it carries the old file's identity; a new settings file
  // has from the start what open(2) gives it.
  if (!MakeTemporaryFile(directory, original == nullptr ? 0666 : 0600, &temporary)) {
    return Outcome::kRewriteInPlace;
  }
  if (!WriteNewContent(temporary.fd, text, changes)) {
    DiscardTemporaryFile(&temporary);
    return Outcome::kFailed;
  }
  if (original != nullptr && !CarryIdentity(originalFd, *original, temporary.fd)) {
    DiscardTemporaryFile(&temporary);
    return Outcome::kRewriteInPlace;
  }
  if (fsync(temporary.fd) != 0) {
    DiscardTemporaryFile(&temporary);
    return Outcome::kFailed;
  }

  Outcome outcome = Outcome::kFailed;
  if (original == nullptr) {
    outcome = PlaceNewFile(&temporary, target);
  } else if (!temporary.name.empty() || NameTemporaryFile(&temporary, directory)) {
    if (rename(temporary.name.c_str(), target.c_str()) == 0) {
      temporary.name.clear();
      outcome = Outcome::kDone;
    }
  }
  DiscardTemporaryFile(&temporary);
  if (outcome == Outcome::kDone) SyncDirectory(directory);
  return outcome;
}

// Makes room for a file that grows from `oldSize` to `newSize` before any old byte changes, so a
// full disk stops the rewrite with the file as it was. Where the filesystem cannot reserve space
// (ZFS, many FUSE filesystems), the new content's part past the old end is written first instead,
// and taken back if it does not fit.
bool ReserveSpace(int fd, std::string_view text, const profile::TextChanges& changes, off_t oldSize,
                  off_t newSize) {
  if (newSize <= oldSize) return true;
  const int refused = posix_fallocate(fd, 0, newSize);
  if (refused == 0) return true;
  if (refused != EOPNOTSUPP && refused != ENOSYS && refused != EINVAL) return false;
  if (WriteNewContent(fd, text, changes, oldSize)) return true;
  while (ftruncate(fd, oldSize) != 0 && errno == EINTR) {
  }
  return false;
}

// For a file that no new file can stand in for: a directory where no new file can be made, or an
// identity a new file cannot carry (another owner, a label this process may not set, a
// filesystem without modes). The inode and all on it stay, as with the Windows routine.
bool RewriteInPlace(int fd, std::string_view text, const profile::TextChanges& changes,
                    const struct stat& original) {
  const off_t size = NewSize(text, changes);
  return ReserveSpace(fd, text, changes, original.st_size, size) &&
         WriteNewContent(fd, text, changes) && ftruncate(fd, size) == 0 && fsync(fd) == 0;
}

// One read-modify-write of an existing file under its lock, once the path is known to still name
// the file that was locked.
Outcome UpdateExistingFile(const std::string& target, const char* section, const char* key,
                           const char* value) {
  int fd = open(target.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Outcome::kFailed;
  LockForWriting(fd);
  struct stat locked, named;
  FileText text;
  profile::TextChanges changes;
  Outcome outcome = Outcome::kFailed;
  if (fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode) || (locked.st_mode & 0222) == 0) {
    outcome = Outcome::kFailed;
  } else if (stat(target.c_str(), &named) != 0 || !IsSameFile(named, locked)) {
    outcome = Outcome::kStartOver;
  } else if (!text.Read(fd, locked.st_size) ||
             !profile::PlanProfileEdit(text.view(), section, key, value, &changes)) {
    outcome = Outcome::kFailed;
  } else if (profile::ChangesNothing(text.view(), changes)) {
    outcome = Outcome::kDone;
  } else {
    outcome = PublishNewFile(target, text.view(), changes, &locked, fd);
    if (outcome == Outcome::kRewriteInPlace) {
      outcome =
          RewriteInPlace(fd, text.view(), changes, locked) ? Outcome::kDone : Outcome::kFailed;
    }
  }
  close(fd);  // releases the lock, after the new content is in place
  return outcome;
}

bool WriteProfile(const char* section, const char* key, const char* value, const char* fileName) {
  // Through a symbolic link the file it names is updated and the link stays.
  std::string target = fileName;
  struct stat link;
  if (lstat(fileName, &link) == 0 && S_ISLNK(link.st_mode)) {
    char* resolved = realpath(fileName, nullptr);
    if (resolved == nullptr) return false;
    target = resolved;
    free(resolved);
  }

  const long long deadline = NowMilliseconds() + kStartOverMilliseconds;
  for (;;) {
    Outcome outcome = Outcome::kFailed;
    struct stat seen;
    if (stat(target.c_str(), &seen) != 0) {
      if (errno != ENOENT) return false;
      if (value == nullptr || key == nullptr) return true;  // nothing to remove, no file made
      const std::string_view empty;
      profile::TextChanges changes;
      if (!profile::PlanProfileEdit(empty, section, key, value, &changes)) return false;
      outcome = PublishNewFile(target, empty, changes, nullptr, -1);
    } else if (!S_ISREG(seen.st_mode) || (seen.st_mode & 0222) == 0) {
      // A directory, FIFO or device is no settings file; a file without write bits stays
      // read-only even for root.
      return false;
    } else {
      outcome = UpdateExistingFile(target, section, key, value);
    }
    if (outcome != Outcome::kStartOver) return outcome == Outcome::kDone;
    if (NowMilliseconds() >= deadline) return false;
  }
}

}  // namespace

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* fileName) {
  if (section == nullptr || fileName == nullptr) return false;
  try {
    return WriteProfile(section, key, value, fileName);
  } catch (...) {
    return false;  // memory ran out before anything was put in place
  }
}

}  // namespace platform

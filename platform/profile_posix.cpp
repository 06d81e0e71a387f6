// POSIX profile routine: edits one key under a lock and swaps the new content in whole.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform.h"
#include "profile_text.h"

namespace platform {
namespace {

// kStartOver: another writer created or replaced the file meanwhile; read it again.
enum class Outcome { kDone, kNoTemporaryFile, kStartOver, kFailed };

// How long to wait for another writer's lock before going on without it, and how often to look.
constexpr long kLockWaitMilliseconds = 5000;
constexpr long kLockPollMilliseconds = 5;
// How often to start over when another writer replaced or created the file meanwhile.
constexpr int kAttempts = 20;

void SleepMilliseconds(long milliseconds) {
  struct timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

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
      ssize_t got = pread(fd, bytes_ + size_, capacity_ - size_, static_cast<off_t>(size_));
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

bool WriteAt(int fd, const char* data, size_t size, off_t* offset) {
  for (size_t done = 0; done < size;) {
    ssize_t put = pwrite(fd, data + done, size - done, *offset);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
    *offset += put;
  }
  return true;
}

// Writes the new content at the start of `fd`: the old text's bytes between the changes, and
// the changes' replacements.
bool WriteNewContent(int fd, std::string_view text, const profile::TextChanges& changes) {
  off_t offset = 0;
  size_t copied = 0;
  for (const profile::Change<char>& change : changes) {
    if (!WriteAt(fd, text.data() + copied, change.start - copied, &offset) ||
        !WriteAt(fd, change.replacement.data(), change.replacement.size(), &offset)) {
      return false;
    }
    copied = change.end;
  }
  return WriteAt(fd, text.data() + copied, text.size() - copied, &offset);
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

mode_t CurrentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
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

// A temporary file in the target's directory: unnamed where the filesystem allows, so that a
// killed run leaves nothing behind; otherwise under a hidden name unique to this run.
struct TemporaryFile {
  int fd = -1;
  std::string name;  // empty while the file has no name
};

bool MakeTemporaryFile(const std::string& directory, TemporaryFile* temporary) {
  temporary->fd = open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (temporary->fd >= 0) return true;
  struct timespec now = {0, 0};
  clock_gettime(CLOCK_REALTIME, &now);
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    temporary->name = directory + "/.settings.ini." + std::to_string(getpid()) + "." +
                      std::to_string(now.tv_nsec) + "." + std::to_string(attempt) + ".tmp";
    temporary->fd =
        open(temporary->name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (temporary->fd >= 0 || errno != EEXIST) break;
  }
  if (temporary->fd < 0) temporary->name.clear();
  return temporary->fd >= 0;
}

void DiscardTemporaryFile(TemporaryFile* temporary) {
  if (temporary->fd >= 0) close(temporary->fd);
  if (!temporary->name.empty()) unlink(temporary->name.c_str());
}

// Gives an unnamed file a name; linkat through /proc needs no privilege, unlike AT_EMPTY_PATH.
// The name holds this process's ID, so a file under it can only be a killed run's leftover.
bool NameTemporaryFile(TemporaryFile* temporary, const std::string& directory) {
  std::string name = directory + "/.settings.ini." + std::to_string(getpid()) + ".new";
  std::string self = "/proc/self/fd/" + std::to_string(temporary->fd);
  unlink(name.c_str());
  if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) return false;
  temporary->name = name;
  return true;
}

// The new file takes the old one's mode and owner; a new settings file gets the usual mode.
bool MatchAttributes(int fd, const struct stat* original) {
  if (original == nullptr) return fchmod(fd, 0666 & ~CurrentUmask()) == 0;
  if (fchmod(fd, original->st_mode & 07777) != 0) return false;
  struct stat created;
  if (fstat(fd, &created) != 0) return false;
  if (created.st_uid == original->st_uid && created.st_gid == original->st_gid) return true;
  return fchown(fd, original->st_uid, original->st_gid) == 0;
}

// Writes the new content to a new file beside `target` and puts it in place whole: over the old
// file (`original` given), or only where no file exists yet, so no other writer's file is lost.
Outcome PublishNewFile(const std::string& target, std::string_view text,
                       const profile::TextChanges& changes, const struct stat* original) {
  const std::string directory = DirectoryOf(target);
  TemporaryFile temporary;
  if (!MakeTemporaryFile(directory, &temporary)) return Outcome::kNoTemporaryFile;
  if (!MatchAttributes(temporary.fd, original)) {
    DiscardTemporaryFile(&temporary);
    return Outcome::kNoTemporaryFile;
  }
  if (!WriteNewContent(temporary.fd, text, changes) || fsync(temporary.fd) != 0) {
    DiscardTemporaryFile(&temporary);
    return Outcome::kFailed;
  }

  int published = -1;
  if (original == nullptr && temporary.name.empty()) {
    std::string self = "/proc/self/fd/" + std::to_string(temporary.fd);
    published = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW);
  } else if (original == nullptr) {
    published = link(temporary.name.c_str(), target.c_str());
  } else if (!temporary.name.empty() || NameTemporaryFile(&temporary, directory)) {
    published = rename(temporary.name.c_str(), target.c_str());
    if (published == 0) temporary.name.clear();
  }
  const bool targetExists = published != 0 && errno == EEXIST && original == nullptr;
  DiscardTemporaryFile(&temporary);
  if (published != 0) return targetExists ? Outcome::kStartOver : Outcome::kFailed;
  SyncDirectory(directory);
  return Outcome::kDone;
}

// For a writable file in a directory where no new file can be made, as the Windows routine does.
// Space is reserved first, so a full disk stops the write before any byte changes.
bool RewriteInPlace(int fd, std::string_view text, const profile::TextChanges& changes,
                    const struct stat& original) {
  const off_t size = NewSize(text, changes);
  if (size > original.st_size && posix_fallocate(fd, 0, size) != 0) return false;
  return WriteNewContent(fd, text, changes) && ftruncate(fd, size) == 0 && fsync(fd) == 0;
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
    outcome = PublishNewFile(target, text.view(), changes, &locked);
    if (outcome == Outcome::kNoTemporaryFile) {
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

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    struct stat seen;
    if (stat(target.c_str(), &seen) != 0) {
      if (errno != ENOENT) return false;
      if (value == nullptr || key == nullptr) return true;  // nothing to remove, no file made
      const std::string_view empty;
      profile::TextChanges changes;
      if (!profile::PlanProfileEdit(empty, section, key, value, &changes)) return false;
      Outcome created = PublishNewFile(target, empty, changes, nullptr);
      if (created != Outcome::kStartOver) return created == Outcome::kDone;
      continue;
    }
    // A directory, FIFO or device is no settings file; a file without write bits stays
    // read-only even for root.
    if (!S_ISREG(seen.st_mode) || (seen.st_mode & 0222) == 0) return false;
    Outcome updated = UpdateExistingFile(target, section, key, value);
    if (updated != Outcome::kStartOver) return updated == Outcome::kDone;
  }
  return false;
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

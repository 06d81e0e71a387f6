// POSIX profile routine: reads the file, edits one key, and swaps the new content in whole.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "platform.h"
#include "profile_text.h"

namespace platform {
namespace {

enum class Replaced { kDone, kNoTemporaryFile, kFailed };

bool ReadWhole(int fd, std::string* text) {
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == 0) return true;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    text->append(buffer, static_cast<size_t>(got));
  }
}

bool WriteWhole(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

// Opens for reading without blocking on a FIFO, and only if it is the regular file seen before.
bool ReadRegularFile(const std::string& path, const struct stat& seen, std::string* text) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat opened;
  bool same = fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && opened.st_dev == seen.st_dev &&
              opened.st_ino == seen.st_ino;
  bool read = same && ReadWhole(fd, text);
  close(fd);
  return read;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A hidden name beside the target, unique to this process and attempt.
std::string TemporaryNameFor(const std::string& target, unsigned attempt) {
  struct timespec now = {0, 0};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return DirectoryOf(target) + "/.settings-" + std::to_string(getpid()) + "-" +
         std::to_string(now.tv_nsec) + "-" + std::to_string(attempt) + ".tmp";
}

mode_t CurrentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
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

void SyncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Write a new file beside the target, then rename it over: a reader sees old or new, never half.
Replaced ReplaceByRename(const std::string& target, const std::string& content,
                         const struct stat* original) {
  std::string temporary;
  int fd = -1;
  for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temporary = TemporaryNameFor(target, attempt);
    fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return Replaced::kNoTemporaryFile;
  }
  if (fd < 0) return Replaced::kFailed;
  if (!MatchAttributes(fd, original)) {
    close(fd);
    unlink(temporary.c_str());
    return Replaced::kNoTemporaryFile;
  }
  bool written = WriteWhole(fd, content) && fsync(fd) == 0;
  written = close(fd) == 0 && written;
  if (!written || rename(temporary.c_str(), target.c_str()) != 0) {
    unlink(temporary.c_str());
    return Replaced::kFailed;
  }
  SyncDirectory(DirectoryOf(target));
  return Replaced::kDone;
}

// For a writable file in a directory where no new file can be made, as the Windows routine does.
// Space is reserved first, so a full disk stops the write before any byte changes.
bool RewriteInPlace(const std::string& target, const std::string& content,
                    const struct stat& original) {
  int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat opened;
  bool ok = fstat(fd, &opened) == 0 && opened.st_dev == original.st_dev &&
            opened.st_ino == original.st_ino;
  const off_t size = static_cast<off_t>(content.size());
  if (ok && size > opened.st_size) ok = posix_fallocate(fd, 0, size) == 0;
  ok = ok && WriteWhole(fd, content) && ftruncate(fd, size) == 0 && fsync(fd) == 0;
  return close(fd) == 0 && ok;
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

  struct stat original;
  const bool exists = stat(target.c_str(), &original) == 0;
  if (!exists && errno != ENOENT) return false;
  std::string text;
  if (exists) {
    // A directory, FIFO or device is no settings file; a file without write bits stays read-only
    // even for root.
    if (!S_ISREG(original.st_mode) || (original.st_mode & 0222) == 0) return false;
    if (!ReadRegularFile(target, original, &text)) return false;
  } else if (value == nullptr || key == nullptr) {
    return true;  // nothing to remove, and no file is made for it
  }

  std::string edited;
  if (!profile::EditProfileText(text, section, key, value, &edited)) return false;
  if (exists && edited == text) return true;

  Replaced replaced = ReplaceByRename(target, edited, exists ? &original : nullptr);
  if (replaced == Replaced::kNoTemporaryFile && exists) {
    return RewriteInPlace(target, edited, original);
  }
  return replaced == Replaced::kDone;
}

}  // namespace

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* fileName) {
  if (section == nullptr || fileName == nullptr) return false;
  try {
    return WriteProfile(section, key, value, fileName);
  } catch (...) {
    return false;  // memory ran out: the file was not touched
  }
}

}  // namespace platform

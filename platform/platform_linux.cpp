// Linux: argv as the argument text, the program's own file for the directory, bytes as they are.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include "modINIs.h"
#include "platform.h"

namespace platform {
namespace {

// What the process was started with; the system hands it to main and nowhere else.
int startCount = 0;
char** startArguments = nullptr;

// Links longer than this are not followed; Linux paths end at 4096 bytes anyway.
constexpr size_t kLongestLink = 1 << 20;

bool WidenBytes(const char* bytes, size_t length, WideText* text) {
  text->units = static_cast<char16_t*>(AllocateMemory((length + 1) * sizeof(char16_t)));
  if (text->units == nullptr) return false;
  for (size_t i = 0; i < length; ++i) text->units[i] = static_cast<unsigned char>(bytes[i]);
  text->length = length;
  return true;
}

// Where /proc is not mounted: the file the system was asked to run (never argv[0]), resolved
// from the working directory it was started in, which the program does not change.
bool ResolveExecutedFile(char** path, size_t* length) {
  const char* executed = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  if (executed == nullptr) return false;
  *path = realpath(executed, nullptr);  // malloc'd, as AllocateMemory's blocks are
  if (*path == nullptr) return false;
  *length = strlen(*path);
  return true;
}

// The whole of a /proc file, NUL-terminated; its size is known only once it is read.
char* ReadWholeFile(const char* name) {
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  size_t capacity = 4096;
  size_t used = 0;
  char* text = static_cast<char*>(AllocateMemory(capacity));
  while (text != nullptr) {
    if (capacity - used == 1) {
      char* larger = static_cast<char*>(realloc(text, capacity * 2));  // AllocateMemory is malloc
      if (larger == nullptr) ReleaseMemory(text);
      text = larger;
      capacity *= 2;
      continue;
    }
    ssize_t got = read(fd, text + used, capacity - used - 1);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) break;
    if (got < 0) {
      ReleaseMemory(text);
      text = nullptr;
      break;
    }
    used += static_cast<size_t>(got);
  }
  close(fd);
  if (text != nullptr) text[used] = 0;
  return text;
}

// Whether a name in /proc/self/maps, which runs to the end of its line, is `path`. The kernel
// writes a line break in a name as \012, so that a line break always ends the line.
bool ShowsPath(const char* shown, const char* path, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (path[i] == '\n') {
      if (strncmp(shown, "\\012", 4) != 0) return false;
      shown += 4;
    } else if (*shown++ != path[i]) {
      return false;
    }
  }
  return *shown == 0;
}

// Whether the code running now was mapped from the file at `path`. Started through the dynamic
// loader, /proc/self/exe is the loader, while this code comes from the file the loader mapped.
bool CodeComesFrom(const char* path, size_t length) {
  char* maps = ReadWholeFile("/proc/self/maps");
  if (maps == nullptr) return false;
  const unsigned long long code = reinterpret_cast<uintptr_t>(&CodeComesFrom);
  bool comes = false;
  for (char* line = maps; *line != 0;) {
    char* next = strchr(line, '\n');
    if (next != nullptr) *next = 0;
    // start-end perms offset device inode name
    unsigned long long start = 0, end = 0;
    int nameAt = 0;
    if (sscanf(line, "%llx-%llx %*s %*s %*s %*s %n", &start, &end, &nameAt) == 2 && nameAt > 0 &&
        start <= code && code < end) {
      comes = ShowsPath(line + nameAt, path, length);
      break;
    }
    if (next == nullptr) break;
    line = next + 1;
  }
  ReleaseMemory(maps);
  return comes;
}

// Whether `path` still names the file the process was started from, and the running code is
// that file's: a deleted program or one run from a memfd has no folder of its own, and beside the
// loader is not the program's folder.
bool IsOwnFile(const char* path, size_t length) {
  int image = open("/proc/self/exe", O_PATH | O_CLOEXEC);
  if (image < 0) return false;
  struct stat started, named;
  bool same = fstat(image, &started) == 0 && stat(path, &named) == 0 &&
              started.st_dev == named.st_dev && started.st_ino == named.st_ino;
  close(image);
  return same && CodeComesFrom(path, length);
}

// The executable's own path, not argv[0], which the caller may set to anything.
bool ReadExecutablePath(char** path, size_t* length) {
  for (size_t capacity = 256; capacity <= kLongestLink; capacity *= 2) {
    char* buffer = static_cast<char*>(AllocateMemory(capacity));
    if (buffer == nullptr) return false;
    ssize_t got = readlink("/proc/self/exe", buffer, capacity);
    if (got > 0 && static_cast<size_t>(got) < capacity) {
      buffer[got] = 0;
      if (!IsOwnFile(buffer, static_cast<size_t>(got))) {
        ReleaseMemory(buffer);
        return false;
      }
      *path = buffer;
      *length = static_cast<size_t>(got);
      return true;
    }
    ReleaseMemory(buffer);
    if (got < 0 && errno == ENOENT) return ResolveExecutedFile(path, length);
    if (got <= 0) return false;
  }
  return false;
}

}  // namespace

const char16_t kDirectorySeparator = u'/';

void* AllocateMemory(size_t size) { return malloc(size == 0 ? 1 : size); }

void ReleaseMemory(void* block) { free(block); }

// The words of argv joined by single spaces, the nearest to the command line POSIX keeps.
bool TakeArgumentText(WideText* text) {
  size_t length = 0;
  for (int i = 1; i < startCount; ++i) {
    for (const char* c = startArguments[i]; *c != 0; ++c) ++length;
    if (i > 1) ++length;
  }
  text->units = static_cast<char16_t*>(AllocateMemory((length + 1) * sizeof(char16_t)));
  if (text->units == nullptr) return false;
  size_t at = 0;
  for (int i = 1; i < startCount; ++i) {
    if (i > 1) text->units[at++] = u' ';
    for (const char* c = startArguments[i]; *c != 0; ++c) {
      text->units[at++] = static_cast<unsigned char>(*c);
    }
  }
  text->length = length;
  return true;
}

bool TakeProgramDirectory(WideText* directory) {
  char* path = nullptr;
  size_t length = 0;
  if (!ReadExecutablePath(&path, &length)) return false;
  size_t separator = length;
  for (size_t i = 0; i < length; ++i) {
    if (path[i] == '/') separator = i;
  }
  bool taken = separator < length && WidenBytes(path, separator == 0 ? 1 : separator, directory);
  ReleaseMemory(path);
  return taken;
}

// There is no code page: each unit came from one byte and goes back to it.
bool ConvertToCodePage(const char16_t* units, size_t length, ByteText* bytes) {
  for (size_t i = 0; i < length; ++i) {
    if (units[i] > 0xff) return false;
  }
  bytes->bytes = static_cast<char*>(AllocateMemory(length + 1));
  if (bytes->bytes == nullptr) return false;
  for (size_t i = 0; i < length; ++i) bytes->bytes[i] = static_cast<char>(units[i]);
  bytes->bytes[length] = 0;
  bytes->length = length;
  return true;
}

void EndProgram() { _exit(0); }

}  // namespace platform

int main(int argc, char** argv) {
  platform::startCount = argc;
  platform::startArguments = argv;
  modINIs::RunEntryProcedure();
  return 0;
}

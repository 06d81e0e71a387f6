// Preloaded into the program by the fault tests: makes chosen calls of one I/O function fail.
// FAIL_IO="name:call:errno,..." fails the given call (counting from 1) of each named function
// with that errno; errno 0 makes that write short instead: half its bytes, then success.
// "name:call:!command" runs the shell command just before that call, which then goes through:
// what an administrator does at that moment of a run.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/xattr.h>

namespace {

struct Fault {
  char name[32];
  int call;
  int error;
  char command[512];
};

constexpr int kMostFaults = 8;
Fault faults[kMostFaults];
int faultCount = -1;
int calls[kMostFaults];

void ReadFaults() {
  faultCount = 0;
  const char* list = getenv("FAIL_IO");
  while (list != nullptr && *list != 0 && faultCount < kMostFaults) {
    Fault& fault = faults[faultCount];
    const char* colon = strchr(list, ':');
    if (colon == nullptr || colon - list >= static_cast<long>(sizeof fault.name)) return;
    memcpy(fault.name, list, colon - list);
    fault.name[colon - list] = 0;
    char* rest = nullptr;
    fault.call = static_cast<int>(strtol(colon + 1, &rest, 10));
    if (rest[0] == ':' && rest[1] == '!') {
      const size_t length = strcspn(rest + 2, ",");
      if (length >= sizeof fault.command) return;
      memcpy(fault.command, rest + 2, length);
      fault.command[length] = 0;
      rest += 2 + length;
    } else {
      fault.error = static_cast<int>(strtol(rest + 1, &rest, 10));
    }
    ++faultCount;
    list = *rest == ',' ? rest + 1 : rest;
  }
}

// The fault for this call of `name`, or null when it should go through.
const Fault* FaultFor(const char* name) {
  if (faultCount < 0) ReadFaults();
  const Fault* due = nullptr;
  for (int i = 0; i < faultCount; ++i) {
    if (strcmp(faults[i].name, name) == 0 && ++calls[i] == faults[i].call) due = &faults[i];
  }
  if (due != nullptr && due->command[0] != 0) {
    unsetenv("LD_PRELOAD");  // the command's own calls are not the run's
    if (system(due->command) != 0) abort();
    return nullptr;
  }
  return due;
}

bool TakesMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  const Fault* fault = FaultFor("pwrite");
  if (fault != nullptr && fault->error != 0) return errno = fault->error, -1;
  if (fault != nullptr && size > 1) size /= 2;
  return Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, data, size, offset);
}
ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
  return pwrite(fd, data, size, offset);
}

int fsync(int fd) {
  const Fault* fault = FaultFor("fsync");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(int)>("fsync")(fd);
}

int syncfs(int fd) {
  const Fault* fault = FaultFor("syncfs");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(int)>("syncfs")(fd);
}

int rename(const char* from, const char* to) {
  const Fault* fault = FaultFor("rename");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(const char*, const char*)>("rename")(from, to);
}

int link(const char* from, const char* to) {
  const Fault* fault = FaultFor("link");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(const char*, const char*)>("link")(from, to);
}

int linkat(int fromDirectory, const char* from, int toDirectory, const char* to, int flags) {
  const Fault* fault = FaultFor("linkat");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(int, const char*, int, const char*, int)>("linkat")(fromDirectory, from,
                                                                          toDirectory, to, flags);
}

int renameat2(int fromDirectory, const char* from, int toDirectory, const char* to,
              unsigned flags) {
  const Fault* fault = FaultFor("renameat2");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
      fromDirectory, from, toDirectory, to, flags);
}

int fchmod(int fd, mode_t mode) {
  const Fault* fault = FaultFor("fchmod");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  const Fault* fault = FaultFor("fsetxattr");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr")(fd, name, value,
                                                                                size, flags);
}

int ftruncate(int fd, off_t size) {
  const Fault* fault = FaultFor("ftruncate");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(int, off_t)>("ftruncate")(fd, size);
}

int posix_fallocate(int fd, off_t offset, off_t size) {
  const Fault* fault = FaultFor("posix_fallocate");
  if (fault != nullptr) return fault->error;
  return Next<int (*)(int, off_t, off_t)>("posix_fallocate")(fd, offset, size);
}
int posix_fallocate64(int fd, off_t offset, off_t size) {
  return posix_fallocate(fd, offset, size);
}
int ftruncate64(int fd, off_t size) { return ftruncate(fd, size); }

int fallocate(int fd, int mode, off_t offset, off_t size) {
  const Fault* fault = FaultFor("fallocate");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(int, int, off_t, off_t)>("fallocate")(fd, mode, offset, size);
}
int fallocate64(int fd, int mode, off_t offset, off_t size) {
  return fallocate(fd, mode, offset, size);
}

int open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  mode_t mode = TakesMode(flags) ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  const Fault* fault = FaultFor("open");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}
int open64(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  mode_t mode = TakesMode(flags) ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  return open(path, flags, mode);
}

}  // extern "C"

// Preloaded into the program by the fault tests: makes chosen calls of one I/O function fail.
// FAIL_IO="name:call:errno,..." fails the given call (counting from 1) of each named function
// with that errno; errno 0 makes that read or write short instead: half its bytes, then success.
// "setlease" counts only fcntl's F_SETLEASE calls.
// In place of the errno, an action done just before the call, which then goes through:
//   grow   another writer appends kGrowth to the file (pread);
//   rival  another writer creates the target, holding kRivalText (link, linkat, renameat2);
//   stop   the process stops (SIGSTOP), for the test to look at its files, until SIGCONT;
//   quiet  the call succeeds without doing anything, as on FAT mounted "quiet" (fchmod).
//   wide   the file opened gets mode 0666 whatever was asked, as some FUSE mounts force (open).
// "name:call:!command" runs the shell command just before that call, which then goes through:
// what an administrator does at that moment of a run.
// Opens under /proc are not counted: the program reads there who it is before it writes.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

struct Fault {
  char name[32];
  int call;
  int error;
  char action[8];  // empty, or one of the actions above
  char command[512];
};

// What the injected_faults rows expect to find after "grow" and "rival".
constexpr char kGrowthLine[] = "; grown\n";
constexpr int kGrowthLines = 10000;  // 80,000 bytes: more than the reader's room past the size
constexpr char kRivalText[] = "[other]\nkept=1\n";

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
      size_t action = strcspn(rest, ",");
      if (action >= sizeof fault.action) return;
      memcpy(fault.action, rest, action);
      fault.action[action] = 0;
      rest += action;
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

bool Is(const Fault* fault, const char* action) {
  return fault != nullptr && strcmp(fault->action, action) == 0;
}

// Runs the fault's action, if it has one; true when the call is to fail with its errno. The
// target is named relative to `directory`, as by the *at calls.
bool Strikes(const Fault* fault, const char* target, int directory = AT_FDCWD) {
  if (fault == nullptr) return false;
  if (Is(fault, "stop")) return raise(SIGSTOP), false;
  if (Is(fault, "rival")) {
    int fd = Next<int (*)(int, const char*, int, ...)>("openat")(directory, target,
                                                                 O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd >= 0 && write(fd, kRivalText, sizeof kRivalText - 1) > 0) close(fd);
    return false;
  }
  return fault->action[0] == 0;
}

}  // namespace

extern "C" {

ssize_t pread(int fd, void* data, size_t size, off_t offset) {
  const Fault* fault = FaultFor("pread");
  auto next = Next<ssize_t (*)(int, void*, size_t, off_t)>("pread");
  if (Is(fault, "grow")) {
    struct stat info;
    auto put = Next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    for (int i = 0; i < kGrowthLines && fstat(fd, &info) == 0; ++i) {
      put(fd, kGrowthLine, sizeof kGrowthLine - 1, info.st_size);
    }
  } else if (Strikes(fault, nullptr) && fault->error != 0) {
    return errno = fault->error, -1;
  } else if (fault != nullptr && fault->action[0] == 0 && size > 1) {
    size /= 2;
  }
  return next(fd, data, size, offset);
}
ssize_t pread64(int fd, void* data, size_t size, off_t offset) {
  return pread(fd, data, size, offset);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  const Fault* fault = FaultFor("pwrite");
  const bool strikes = Strikes(fault, nullptr);
  if (strikes && fault->error != 0) return errno = fault->error, -1;
  if (strikes && size > 1) size /= 2;
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
  if (Strikes(fault, to)) return errno = fault->error, -1;
  return Next<int (*)(const char*, const char*)>("rename")(from, to);
}

int link(const char* from, const char* to) {
  const Fault* fault = FaultFor("link");
  if (Strikes(fault, to)) return errno = fault->error, -1;
  return Next<int (*)(const char*, const char*)>("link")(from, to);
}

// The routine names its files relative to their folder, so the calls the rows name by their
// path forms come as *at calls: a link of one name to another counts as "link", a rename as
// "rename", an open as "open" (all but the read-only opens of folders and leftovers, which the
// rows never meant), so that each row still strikes the same step of a run.
int renameat(int fromDirectory, const char* from, int toDirectory, const char* to) {
  const Fault* fault = FaultFor("rename");
  if (Strikes(fault, to, toDirectory)) return errno = fault->error, -1;
  return Next<int (*)(int, const char*, int, const char*)>("renameat")(fromDirectory, from,
                                                                       toDirectory, to);
}

int linkat(int fromDirectory, const char* from, int toDirectory, const char* to, int flags) {
  const Fault* fault = FaultFor(flags == 0 ? "link" : "linkat");
  if (Strikes(fault, to, toDirectory)) return errno = fault->error, -1;
  return Next<int (*)(int, const char*, int, const char*, int)>("linkat")(fromDirectory, from,
                                                                          toDirectory, to, flags);
}

int renameat2(int fromDirectory, const char* from, int toDirectory, const char* to,
              unsigned flags) {
  const Fault* fault = FaultFor("renameat2");
  if (Strikes(fault, to, toDirectory)) return errno = fault->error, -1;
  return Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
      fromDirectory, from, toDirectory, to, flags);
}

int fchmod(int fd, mode_t mode) {
  const Fault* fault = FaultFor("fchmod");
  if (Is(fault, "quiet")) return 0;
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(int, mode_t)>("fchmod")(fd, mode);
}

int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  const Fault* fault = FaultFor("fsetxattr");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr")(fd, name, value,
                                                                                size, flags);
}

ssize_t flistxattr(int fd, char* names, size_t size) {
  const Fault* fault = FaultFor("flistxattr");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<ssize_t (*)(int, char*, size_t)>("flistxattr")(fd, names, size);
}

ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) {
  const Fault* fault = FaultFor("fgetxattr");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<ssize_t (*)(int, const char*, void*, size_t)>("fgetxattr")(fd, name, value, size);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list rest;
  va_start(rest, request);
  void* argument = va_arg(rest, void*);
  va_end(rest);
  const Fault* fault = FaultFor("ioctl");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(int, unsigned long, void*)>("ioctl")(fd, request, argument);
}

int fremovexattr(int fd, const char* name) {
  const Fault* fault = FaultFor("fremovexattr");
  if (fault != nullptr) return errno = fault->error, -1;
  return Next<int (*)(int, const char*)>("fremovexattr")(fd, name);
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

// Only F_SETLEASE, counted as "setlease": no lease granted, as on NFS or with leases disabled.
static int FailLeaseOrPass(const char* next, int fd, int command, void* argument) {
  if (command == F_SETLEASE) {
    const Fault* fault = FaultFor("setlease");
    if (fault != nullptr) return errno = fault->error, -1;
  }
  return Next<int (*)(int, int, ...)>(next)(fd, command, argument);
}
int fcntl(int fd, int command, ...) {
  va_list rest;
  va_start(rest, command);
  void* argument = va_arg(rest, void*);
  va_end(rest);
  return FailLeaseOrPass("fcntl", fd, command, argument);
}
int fcntl64(int fd, int command, ...) {
  va_list rest;
  va_start(rest, command);
  void* argument = va_arg(rest, void*);
  va_end(rest);
  return FailLeaseOrPass("fcntl64", fd, command, argument);
}

int open(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  mode_t mode = TakesMode(flags) ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  if (strncmp(path, "/proc/", 6) == 0) {
    return Next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
  }
  const Fault* fault = FaultFor("open");
  if (fault != nullptr && !Is(fault, "wide")) return errno = fault->error, -1;
  const int fd = Next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
  if (fd >= 0 && Is(fault, "wide")) Next<int (*)(int, mode_t)>("fchmod")(fd, 0666);
  return fd;
}
int open64(const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  mode_t mode = TakesMode(flags) ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  return open(path, flags, mode);
}

int openat(int directory, const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  mode_t mode = TakesMode(flags) ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  const bool counted = (flags & O_ACCMODE) != O_RDONLY || (flags & O_TMPFILE) == O_TMPFILE;
  const Fault* fault = counted ? FaultFor("open") : nullptr;
  if (fault != nullptr && !Is(fault, "wide")) return errno = fault->error, -1;
  const int fd = Next<int (*)(int, const char*, int, ...)>("openat")(directory, path, flags, mode);
  if (fd >= 0 && Is(fault, "wide")) Next<int (*)(int, mode_t)>("fchmod")(fd, 0666);
  return fd;
}
int openat64(int directory, const char* path, int flags, ...) {
  va_list rest;
  va_start(rest, flags);
  mode_t mode = TakesMode(flags) ? va_arg(rest, mode_t) : 0;
  va_end(rest);
  return openat(directory, path, flags, mode);
}

}  // extern "C"

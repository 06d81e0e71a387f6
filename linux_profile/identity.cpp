// The identity of a settings file that a replacement must carry: owner, group, mode, attributes.
#include "identity.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace linux_profile {
namespace {

// The inode flags that say how a file is kept, which chattr sets: s u c S d A m j t C x.
// Append-only and immutable files are never rewritten, and the rest are the filesystem's own
// bookkeeping.
constexpr int kCarriedFlags = FS_SECRM_FL | FS_UNRM_FL | FS_COMPR_FL | FS_SYNC_FL | FS_NODUMP_FL |
                              FS_NOATIME_FL | FS_NOCOMP_FL | FS_JOURNAL_DATA_FL | FS_NOTAIL_FL |
                              FS_NOCOW_FL | FS_DAX_FL;
// The same in FS_IOC_FSGETXATTR's terms, with XFS's own (realtime, extent size hints).
constexpr unsigned kCarriedXFlags = FS_XFLAG_REALTIME | FS_XFLAG_SYNC | FS_XFLAG_NOATIME |
                                    FS_XFLAG_NODUMP | FS_XFLAG_EXTSIZE | FS_XFLAG_NODEFRAG |
                                    FS_XFLAG_FILESTREAM | FS_XFLAG_DAX | FS_XFLAG_COWEXTSIZE;

// A refusal that no call made: the new file cannot be given what the old one has.
bool Refused() {
  errno = EPERM;
  return false;
}

bool HasNoSuchFlags(int error) {
  return error == ENOTTY || error == ENOTSUP || error == EINVAL || error == ENOSYS;
}

bool CarryFlags(int from, int to) {
  int old = 0, made = 0;
  if (ioctl(from, FS_IOC_GETFLAGS, &old) != 0) return HasNoSuchFlags(errno);
  if (ioctl(to, FS_IOC_GETFLAGS, &made) != 0) return false;
  int wanted = (made & ~kCarriedFlags) | (old & kCarriedFlags);
  if (wanted == made) return true;
  if (ioctl(to, FS_IOC_SETFLAGS, &wanted) != 0 || ioctl(to, FS_IOC_GETFLAGS, &made) != 0) {
    return false;
  }
  return (made & kCarriedFlags) == (old & kCarriedFlags) || Refused();
}

// The project ID (quotas on XFS and ext4) and XFS's flags, which the flags above do not reach.
bool CarryProject(int from, int to) {
  struct fsxattr old, made;
  if (ioctl(from, FS_IOC_FSGETXATTR, &old) != 0) return HasNoSuchFlags(errno);
  if (ioctl(to, FS_IOC_FSGETXATTR, &made) != 0) return false;
  struct fsxattr wanted = made;
  wanted.fsx_xflags = (made.fsx_xflags & ~kCarriedXFlags) | (old.fsx_xflags & kCarriedXFlags);
  wanted.fsx_projid = old.fsx_projid;
  wanted.fsx_extsize = old.fsx_extsize;
  wanted.fsx_cowextsize = old.fsx_cowextsize;
  if (wanted.fsx_xflags == made.fsx_xflags && wanted.fsx_projid == made.fsx_projid &&
      wanted.fsx_extsize == made.fsx_extsize && wanted.fsx_cowextsize == made.fsx_cowextsize) {
    return true;
  }
  if (ioctl(to, FS_IOC_FSSETXATTR, &wanted) != 0 || ioctl(to, FS_IOC_FSGETXATTR, &made) != 0) {
    return false;
  }
  return (made.fsx_projid == old.fsx_projid &&
          (made.fsx_xflags & kCarriedXFlags) == (old.fsx_xflags & kCarriedXFlags)) ||
         Refused();
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
    if (IsBoundToInode(name)) return Refused();
    if (!ReadAttribute(from, name, &value) ||
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

// Whether both files have the same attributes, each with the same value.
bool SameAttributes(int a, int b) {
  std::string namesOfA, namesOfB, valueInA, valueInB;
  if (!ListAttributes(a, &namesOfA) || !ListAttributes(b, &namesOfB)) return false;
  for (size_t at = 0; at < namesOfA.size(); at = namesOfA.find('\0', at) + 1) {
    const char* name = namesOfA.c_str() + at;
    if (!ReadAttribute(a, name, &valueInA) || !ReadAttribute(b, name, &valueInB) ||
        valueInA != valueInB) {
      return false;
    }
  }
  for (size_t at = 0; at < namesOfB.size(); at = namesOfB.find('\0', at) + 1) {
    if (!HasName(namesOfA, namesOfB.c_str() + at)) return false;
  }
  return true;
}

// The unsigned little-endian number of `width` bytes at `at`.
uint32_t LittleEndianAt(const std::string& bytes, size_t at, size_t width) {
  uint32_t number = 0;
  for (size_t i = width; i > 0; --i) number = number << 8 | static_cast<uint8_t>(bytes[at + i - 1]);
  return number;
}

// The attribute word of Samba's user.DOSATTRIB, in either of its forms: the old text "0x..."
// (ended by a NUL); or a record, which after that text (now empty) has, aligned to 2, a 16-bit
// version and the same number again as its union's tag, then, aligned to 4, the version's fields:
// from version 3 to 5, a 32-bit word of valid fields and then the attribute word. False for any
// other form, or one cut short.
bool ReadWindowsAttributes(const std::string& value, uint32_t* attributes) {
  const size_t textEnd = std::min(value.find('\0'), value.size());
  const size_t versionAt = (textEnd + 2) & ~size_t{1};
  if (versionAt + 4 <= value.size()) {
    const uint32_t version = LittleEndianAt(value, versionAt, 2);
    const size_t fieldsAt = (versionAt + 4 + 3) & ~size_t{3};
    if (version < 3 || version > 5 || LittleEndianAt(value, versionAt + 2, 2) != version ||
        fieldsAt + 8 > value.size()) {
      return false;
    }
    *attributes = LittleEndianAt(value, fieldsAt + 4, 4);
    return true;
  }
  const std::string text = value.substr(0, textEnd);
  const char* digits = text.c_str() + 2;
  if (text.size() < 3 || text.size() > 10 || text.compare(0, 2, "0x") != 0 ||
      std::strspn(digits, "0123456789abcdefABCDEF") != text.size() - 2) {
    return false;
  }
  *attributes = static_cast<uint32_t>(std::strtoul(digits, nullptr, 16));
  return true;
}

// The numbers in a small file of /proc, up to `most` of them; false where it cannot be read.
bool ReadNumbers(const char* path, unsigned long long* numbers, size_t most, size_t* count) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[512];
  ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got <= 0) return false;
  text[got] = 0;
  *count = 0;
  for (char* at = text; *count < most;) {
    char* end = nullptr;
    const unsigned long long number = std::strtoull(at, &end, 10);
    if (end == at) break;
    numbers[(*count)++] = number;
    at = end;
  }
  return true;
}

// Whether `id` may stand for one this user namespace does not map: it equals the overflow ID
// (65534 where /proc cannot tell), and the namespace's map (uid_map or gid_map, lines of inner
// start, outer start, count) leaves some ID out. The initial namespace maps every one, so there
// the number is the ID itself.
bool MayStandForUnmapped(unsigned id, const char* overflowFile, const char* mapFile) {
  unsigned long long numbers[48];  // the first lines of a map: a map read short counts less
  size_t count = 0;
  const unsigned long long overflow =
      ReadNumbers(overflowFile, numbers, 1, &count) && count == 1 ? numbers[0] : 65534;
  if (id != overflow) return false;
  if (!ReadNumbers(mapFile, numbers, sizeof numbers / sizeof numbers[0], &count)) return true;
  unsigned long long mapped = 0;
  for (size_t line = 0; line + 2 < count; line += 3) mapped += numbers[line + 2];
  return mapped < 0xffffffffULL;  // every ID but (uid_t)-1, which is none
}

// Whether statx's time and stat's are one moment.
bool SameTime(const struct statx_timestamp& a, const struct timespec& b) {
  return static_cast<long long>(a.tv_sec) == static_cast<long long>(b.tv_sec) &&
         static_cast<long long>(a.tv_nsec) == static_cast<long long>(b.tv_nsec);
}

}  // namespace

bool ShowsUnmappedId(const struct stat& file) {
  return MayStandForUnmapped(file.st_uid, "/proc/sys/kernel/overflowuid", "/proc/self/uid_map") ||
         MayStandForUnmapped(file.st_gid, "/proc/sys/kernel/overflowgid", "/proc/self/gid_map");
}

bool CarryInodeFlags(int from, int to) { return CarryFlags(from, to) && CarryProject(from, to); }

// Makes the new file `to` what the old file `from` is to a reader or an access check: owner and
// group, mode, ACL and every other extended attribute. False when any of it cannot be carried;
// such a file must not be published, for it would be another file with other rights.
bool CarryIdentity(int from, const struct stat& original, int to) {
  struct stat created;
  if (ShowsUnmappedId(original)) return Refused();
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
  return (created.st_uid == original.st_uid && created.st_gid == original.st_gid &&
          (created.st_mode & 07777) == (original.st_mode & 07777)) ||
         Refused();
}

// An administrator may change the file while a run writes its replacement (a chmod, a chown, an
// ACL, a rename or a delete), and another writer that takes no lock may write it or, beneath a
// FUSE mount, replace it: the replacement would undo it. Looked at last, under the lock, so only
// the few calls up to the rename remain for such a change to slip through. The name is looked up
// afresh, past any cache of attributes (FUSE keeps one).
bool StillCarries(int folder, const char* name, int from, const struct stat& original, int to) {
  struct statx named;
  struct stat locked, made;
  if (statx(folder, name, AT_STATX_FORCE_SYNC, STATX_BASIC_STATS, &named) != 0 ||
      fstat(from, &locked) != 0 || fstat(to, &made) != 0) {
    return false;
  }
  const bool sameFile = makedev(named.stx_dev_major, named.stx_dev_minor) == locked.st_dev &&
                        named.stx_ino == locked.st_ino;
  const bool unchanged = static_cast<off_t>(named.stx_size) == original.st_size &&
                         SameTime(named.stx_mtime, original.st_mtim) &&
                         SameTime(named.stx_ctime, original.st_ctim);
  return sameFile && unchanged && locked.st_uid == made.st_uid && locked.st_gid == made.st_gid &&
         (locked.st_mode & 07777) == (made.st_mode & 07777) && SameAttributes(from, to);
}

// Samba keeps a Windows client's read-only mark there, under its default "map readonly = no";
// the platform's routine refuses such a file, as this one refuses a file without write bits.
bool IsMarkedReadOnly(int fd) {
  constexpr uint32_t kWindowsReadOnly = 0x1;  // FILE_ATTRIBUTE_READONLY
  std::string value;
  uint32_t attributes = 0;
  return ReadAttribute(fd, "user.DOSATTRIB", &value) && ReadWindowsAttributes(value, &attributes) &&
         (attributes & kWindowsReadOnly) != 0;
}

}  // namespace linux_profile

// What a new file must take on from the old before it may replace it: owner, mode, attributes,
// inode flags and project ID; and the mark that makes a file read-only for Windows.
#pragma once

#include <sys/stat.h>

#include <string>

namespace linux_profile {

// Gives the new, still empty file `to` the old file's inode flags (chattr's), and where the
// filesystem has them its project ID and XFS flags; those the folder gave `to` that the old file
// lacks go. Done before the content, for some (Btrfs +C) take hold only on an empty file. False
// when any of it cannot be carried.
bool CarryInodeFlags(int from, int to);

// Whether the file's owner or group shows as the overflow ID, which the kernel shows for an ID this
// user namespace does not map (a rootless container's view of the host's root): a new file could
// only get the mapped ID of that number, another one, so it cannot carry it.
bool ShowsUnmappedId(const struct stat& file);

// Makes the new file `to` what the old file `from` (whose status is `original`) is to a reader or
// an access check. False when any of it cannot be carried: then `to` must not be published.
// An owner or group that shows as the overflow ID is among what cannot be.
bool CarryIdentity(int from, const struct stat& original, int to);

// Whether `target` still names the locked file `from`, and `from` still has the owner, group,
// mode and attributes that `to` carries: the last look before `to` replaces it.
bool StillCarries(const std::string& target, int from, int to);

// What the kernel takes from a file when it is written to: its set-user-ID and set-group-ID bits
// and its file capabilities (security.capability).
struct KeptPrivileges {
  mode_t setIdBits = 0;
  bool hasCapabilities = false;
  std::string capabilities;
};

// Reads them before a rewrite in place.
void RememberPrivileges(int fd, KeptPrivileges* kept);

// Gives them back after it, where the process may (root may; another user may not), and only
// those that went: a change someone made meanwhile stays.
void PutBackPrivileges(int fd, const KeptPrivileges& kept);

// Whether Samba marks the file read-only for Windows clients (FILE_ATTRIBUTE_READONLY in its
// user.DOSATTRIB attribute), which no mode bit shows: such a file is left as it is.
bool IsMarkedReadOnly(int fd);

}  // namespace linux_profile

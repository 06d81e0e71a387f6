// What a new file must take on from the old before it may replace it: owner, mode, attributes,
// inode flags and project ID; and the mark that makes a file read-only for Windows.
#pragma once

#include <sys/stat.h>

namespace linux_profile {

// Gives the new, still empty file `to` the old file's inode flags (chattr's), and where the
// filesystem has them its project ID and XFS flags; those the folder gave `to` that the old file
// lacks go. Done before the content, for some (Btrfs +C) take hold only on an empty file. False
// when any of it cannot be carried; errno then says why (EPERM where no call failed).
bool CarryInodeFlags(int from, int to);

// Whether the file's owner or group shows as the overflow ID, which the kernel shows for an ID this
// user namespace does not map (a rootless container's view of the host's root): a new file could
// only get the mapped ID of that number, another one, so it cannot carry it.
bool ShowsUnmappedId(const struct stat& file);

// Makes the new file `to` what the old file `from` (whose status is `original`) is to a reader or
// an access check. False when any of it cannot be carried: then `to` must not be published.
// An owner or group that shows as the overflow ID is among what cannot be.
bool CarryIdentity(int from, const struct stat& original, int to);

// The last look before `to` replaces the locked file `from`, whose status was `original` when
// it was read: `name` in `folder` must still name that file, with the size and times it had then
// (which show a replacement where the inode number does not, as through FUSE), and `from` must
// still have the owner, group, mode and attributes that `to` carries.
bool StillCarries(int folder, const char* name, int from, const struct stat& original, int to);

// Whether Samba marks the file read-only for Windows clients (FILE_ATTRIBUTE_READONLY in its
// user.DOSATTRIB attribute), which no mode bit shows: such a file is left as it is.
bool IsMarkedReadOnly(int fd);

}  // namespace linux_profile

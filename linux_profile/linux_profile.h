// The Linux profile routine: one key of an INI file set or removed, the file never left half-done.
//
// A run, in order (linux_profile.cpp follows the same order; docs/linux-profile.md says what the
// file is afterwards in each situation, and why):
//
//  1. Open the folder once. The folder of the name given is opened (for its path alone where it
//     may be written but not read, mode 0311); every later call names the file and its
//     temporaries relative to a folder descriptor, so a deep path behaves as a short one. No
//     folder: FALSE.
//  2. Take the queue. A flock on that folder, waited for at most 5 s, so that copies of the
//     routine run one after another and a waiting copy never holds the file open. Past the
//     wait, or where no flock can be had (an unreadable folder, NFS), the run goes on without.
//  3. Find the file. Through a symbolic link the file it names, as the kernel's walk finds it
//     (and /proc names it); its own folder is then opened once too and checked to hold it. A
//     dangling link gets its file from the kernel: an empty claim, locked at once, this run's
//     only while locked. The kernel refusing the link: FALSE.
//  4. Open and lock the file: an fcntl write lock, waited for within what is left of the 5 s.
//     A writer's lock still held then: FALSE, nothing written. A reader's: replace only.
//  5. Read and plan. A file without write bits, marked read-only by Samba, or not a regular
//     file: FALSE. Nothing to change: TRUE, nothing written. Leftovers of killed runs go here,
//     where a cheap sign says one may be there.
//  6. Replace: a new file beside it carries the old one's identity, is written and flushed.
//     Or go in place, for one of a closed list of reasons only: the folder refuses a new name,
//     the identity cannot be carried, the file has other names, others have it open (a write
//     lease), or no room for a second copy where overwriting needs none. Every other error is
//     FALSE with the file as it was. A file with set-ID bits or capabilities never goes in
//     place: FALSE, untouched.
//  7. Last look, under the lock: the name still names the locked file, with the size, mtime
//     and ctime it had when read, and the owner, mode and attributes the new file carries.
//     Changed: start over (within 5 s in all).
//  8. Swap: a rename over the old file, or a link where there was none.
//  9. Flush: the new file, again under its name, then the folder. Only then TRUE.
// 10. Release: the temporary file (closed, its name removed), the lease, the lock and the
//     queue go with their owners' scopes, on every path.
//
// The error idiom: every step returns what the run is to do next (done, rewrite in place, start
// over, failed), never throws past the entry point, and leaves nothing that must be undone; an
// exception (memory ran out) is FALSE with the file as it was.
#pragma once

namespace linux_profile {

// Stores `value` under `key` in `section` of `fileName`; a null `value` deletes the key and a
// null `key` the whole section. True once the change is on the disk, or nothing had to change.
bool WriteProfileString(const char* section, const char* key, const char* value,
                        const char* fileName);

}  // namespace linux_profile

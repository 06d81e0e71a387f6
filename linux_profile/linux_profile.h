// The Linux profile routine: one key of an INI file set or removed, the file never left half-done.
#pragma once

namespace linux_profile {

// Stores `value` under `key` in `section` of `fileName`; a null `value` deletes the key and a
// null `key` the whole section. True once the change is on the disk, or nothing had to change.
bool WriteProfileString(const char* section, const char* key, const char* value,
                        const char* fileName);

}  // namespace linux_profile

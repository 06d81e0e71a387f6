// The text edit behind the POSIX profile routine: one key set or deleted, every other byte kept.
#pragma once

#include <string>

namespace profile {

// Applies one profile write to the file content `text`: stores `value` under `key` in `section`,
// or deletes the key (null value) or the whole section (null key). Returns false, with `edited`
// unset, when the content cannot be edited faithfully (such as names that break a line).
bool EditProfileText(const std::string& text, const char* section, const char* key,
                     const char* value, std::string* edited);

}  // namespace profile

// The text edit behind the Linux profile routine: one key set or deleted, every other byte kept.
#pragma once

#include <stddef.h>

#include <string>
#include <string_view>
#include <vector>

namespace linux_profile {

// Units [start, end) of the old text give way to `replacement`.
template <typename Unit>
struct Change {
  size_t start;
  size_t end;
  std::basic_string<Unit> replacement;
};

// The new file as the old text with a few ranges replaced, in order and apart; a large file is
// written from its old bytes and these, never copied whole.
using TextChanges = std::vector<Change<char>>;

// Plans one profile write to the file content `text`: store `value` under `key` in `section`, or
// delete the key (null value) or the whole section (null key). Returns false, planning nothing,
// when the content cannot be edited faithfully (such as names that would break a line).
bool PlanProfileEdit(std::string_view text, const char* section, const char* key, const char* value,
                     TextChanges* changes);

// Whether the planned changes leave every byte as it was.
bool ChangesNothing(std::string_view text, const TextChanges& changes);

// The new content, whole.
std::string ApplyChanges(std::string_view text, const TextChanges& changes);

// PlanProfileEdit and ApplyChanges in one.
bool EditProfileText(const std::string& text, const char* section, const char* key,
                     const char* value, std::string* edited);

}  // namespace linux_profile

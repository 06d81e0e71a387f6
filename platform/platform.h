// The operating-system services the marker switch uses; every platform file implements exactly
// these.
#pragma once

#include <stddef.h>

namespace platform {

// Text owned by the caller, in memory from AllocateMemory.
struct WideText {
  char16_t* units;  // not terminated
  size_t length;
};
struct ByteText {
  char* bytes;  // terminated by a NUL that `length` does not count
  size_t length;
};

// The separator placed between the program's directory and the settings file name.
extern const char16_t kDirectorySeparator;

// Null when memory is exhausted. ReleaseMemory(nullptr) does nothing.
void* AllocateMemory(size_t size);
void ReleaseMemory(void* block);

// The command line less the program's own name, neither split nor unquoted.
bool TakeArgumentText(WideText* text);

// The directory holding the running executable; no trailing separator unless it is a root.
bool TakeProgramDirectory(WideText* directory);

// Converts to the system's 8-bit code page exactly; fails rather than substitute a character.
bool ConvertToCodePage(const char16_t* units, size_t length, ByteText* bytes);

// Stores `value` under `key` in `section` of `fileName`; a null `value` deletes the key and a
// null `key` the whole section. Returns the success flag of the platform's profile routine.
bool WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* fileName);

// Ends the process at once with the normal exit status; a real platform never returns from it.
void EndProgram();

}  // namespace platform

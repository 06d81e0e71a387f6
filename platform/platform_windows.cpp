// Windows: start-up without a C runtime, the module path, exact ANSI conversion, kernel32's profile
// routine.
#include <windows.h>

#include "modINIs.h"
#include "platform.h"

namespace platform {
namespace {

// Room for the longest path Windows has, a \\?\ path of 32767 units, and its terminator.
constexpr DWORD kFirstCapacity = 256;
constexpr DWORD kLastCapacity = 32768;

bool IsBlank(wchar_t unit) { return unit == L' ' || unit == L'\t'; }

bool CopyToWideText(const wchar_t* units, size_t length, WideText* text) {
  text->units = static_cast<char16_t*>(AllocateMemory((length + 1) * sizeof(char16_t)));
  if (text->units == nullptr) return false;
  for (size_t i = 0; i < length; ++i) text->units[i] = static_cast<char16_t>(units[i]);
  text->length = length;
  return true;
}

// Length of the directory part of a module path; a root such as "C:\" keeps its separator.
bool FindDirectoryLength(const wchar_t* path, size_t length, size_t* directoryLength) {
  size_t separator = length;
  for (size_t i = 0; i < length; ++i) {
    if (path[i] == L'\\') separator = i;
  }
  if (separator == length) return false;
  bool isRoot = separator > 0 && path[separator - 1] == L':';
  *directoryLength = isRoot ? separator + 1 : separator;
  return true;
}

}  // namespace

const char16_t kDirectorySeparator = u'\\';

void* AllocateMemory(size_t size) { return HeapAlloc(GetProcessHeap(), 0, size); }

void ReleaseMemory(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

// Skips the program's name as the C runtime's start-up does: a quoted name runs to the closing
// quote, otherwise to the first blank; then the blanks after it.
bool TakeArgumentText(WideText* text) {
  const wchar_t* rest = GetCommandLineW();
  if (*rest == L'"') {
    ++rest;
    while (*rest != 0 && *rest != L'"') ++rest;
    if (*rest == L'"') ++rest;
  } else {
    while (*rest != 0 && !IsBlank(*rest)) ++rest;
  }
  while (IsBlank(*rest)) ++rest;
  size_t length = 0;
  while (rest[length] != 0) ++length;
  return CopyToWideText(rest, length, text);
}

// Grows the buffer until the whole path fits: a truncated path would name another directory.
bool TakeProgramDirectory(WideText* directory) {
  for (DWORD capacity = kFirstCapacity; capacity <= kLastCapacity; capacity *= 2) {
    wchar_t* path = static_cast<wchar_t*>(AllocateMemory(capacity * sizeof(wchar_t)));
    if (path == nullptr) return false;
    DWORD length = GetModuleFileNameW(nullptr, path, capacity);
    size_t directoryLength = 0;
    bool fits = length > 0 && length < capacity;
    bool taken = fits && FindDirectoryLength(path, length, &directoryLength) &&
                 CopyToWideText(path, directoryLength, directory);
    ReleaseMemory(path);
    if (fits || length == 0) return taken;
  }
  return false;
}

// No best fit: "Paweł" must not become "Pawel", another folder that may exist.
bool ConvertToCodePage(const char16_t* units, size_t length, ByteText* bytes) {
  if (length > 0x7fffffff) return false;
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(units);
  const int wideLength = static_cast<int>(length);
  const UINT codePage = GetACP();
  // The UTF-8 code page takes neither the best-fit flag nor a default-character report.
  const DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultReport = codePage == CP_UTF8 ? nullptr : &usedDefault;

  int size = 0;
  if (wideLength > 0) {
    size = WideCharToMultiByte(codePage, flags, wide, wideLength, nullptr, 0, nullptr,
                               usedDefaultReport);
    if (size <= 0 || usedDefault) return false;
  }
  char* converted = static_cast<char*>(AllocateMemory(static_cast<size_t>(size) + 1));
  if (converted == nullptr) return false;
  if (wideLength > 0) {
    int written = WideCharToMultiByte(codePage, flags, wide, wideLength, converted, size, nullptr,
                                      usedDefaultReport);
    if (written != size || usedDefault) {
      ReleaseMemory(converted);
      return false;
    }
  }
  converted[size] = 0;
  bytes->bytes = converted;
  bytes->length = static_cast<size_t>(size);
  return true;
}

// Bound by name when called, so the import table names nothing but kernel32's basics.
bool WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* fileName) {
  using ProfileWriter = BOOL(WINAPI*)(LPCSTR, LPCSTR, LPCSTR, LPCSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return false;
  FARPROC found = GetProcAddress(kernel, "WritePrivateProfileStringA");
  if (found == nullptr) return false;
  ProfileWriter write = reinterpret_cast<ProfileWriter>(reinterpret_cast<void (*)()>(found));
  return write(section, key, value, fileName) != FALSE;
}

void EndProgram() { ExitProcess(0); }

}  // namespace platform

// The process starts here, with no C runtime; the stack may be only 4-byte aligned.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void ProgramEntry() {
  modINIs::RunEntryProcedure();
  ExitProcess(0);
}

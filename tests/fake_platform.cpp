// The fake platform: a Windows-like directory, a Latin-1 code page, and a recording profile
// routine.
#include "fake_platform.h"

#include <cstdlib>

#include "platform.h"

FakeSystem fakeSystem;

namespace platform {
namespace {

bool CopyText(const std::optional<std::u16string>& source, WideText* text) {
  if (!source) return false;
  text->units = static_cast<char16_t*>(AllocateMemory((source->size() + 1) * sizeof(char16_t)));
  if (text->units == nullptr) return false;
  source->copy(text->units, source->size());
  text->length = source->size();
  return true;
}

}  // namespace

const char16_t kDirectorySeparator = u'\\';

void* AllocateMemory(size_t size) {
  if (fakeSystem.allocationsAllowed == 0) return nullptr;
  if (fakeSystem.allocationsAllowed > 0) --fakeSystem.allocationsAllowed;
  ++fakeSystem.liveBlocks;
  return std::malloc(size == 0 ? 1 : size);
}

void ReleaseMemory(void* block) {
  if (block == nullptr) return;
  --fakeSystem.liveBlocks;
  std::free(block);
}

bool TakeArgumentText(WideText* text) { return CopyText(fakeSystem.argumentText, text); }

bool TakeProgramDirectory(WideText* directory) {
  return CopyText(fakeSystem.programDirectory, directory);
}

// Latin-1 stands in for the ANSI code page: anything beyond it has no exact byte.
bool ConvertToCodePage(const char16_t* units, size_t length, ByteText* bytes) {
  for (size_t i = 0; i < length; ++i) {
    if (units[i] > 0xff) return false;
  }
  bytes->bytes = static_cast<char*>(AllocateMemory(length + 1));
  if (bytes->bytes == nullptr) return false;
  for (size_t i = 0; i < length; ++i) bytes->bytes[i] = static_cast<char>(units[i]);
  bytes->bytes[length] = 0;
  bytes->length = length;
  return true;
}

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const char* fileName) {
  ProfileCall call{section, key, std::nullopt, fileName};
  if (value != nullptr) call.value = value;
  fakeSystem.profileCalls.push_back(call);
  return true;
}

void EndProgram() { ++fakeSystem.endCount; }

}  // namespace platform

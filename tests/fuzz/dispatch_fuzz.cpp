// Fuzzes the dispatch: no argument text but the three switches may reach the settings step.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <string>

#include "fake_platform.h"
#include "modINIs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2)
    text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  fakeSystem = FakeSystem();
  fakeSystem.argumentText = text;
  modINIs::RunEntryProcedure();

  size_t first = text.find_first_not_of(u' ');
  std::u16string trimmed = first == std::u16string::npos
                               ? u""
                               : text.substr(first, text.find_last_not_of(u' ') - first + 1);
  const char* expected = trimmed == u"/u" ? "ko197311" : trimmed == u"/i" ? "jas197311" : nullptr;
  const bool clears = trimmed == u"/d";
  if (fakeSystem.endCount != 1 || fakeSystem.liveBlocks != 0) std::abort();
  if (fakeSystem.profileCalls.size() != (expected != nullptr || clears ? 1u : 0u)) std::abort();
  if (expected != nullptr && fakeSystem.profileCalls[0].value != std::string(expected))
    std::abort();
  if (clears && fakeSystem.profileCalls[0].value.has_value()) std::abort();
  return 0;
}

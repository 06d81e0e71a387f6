// A headless platform for the logic's tests: scripted answers, and a record of every request.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct ProfileCall {
  std::string section;
  std::string key;
  std::optional<std::string> value;
  std::string fileName;
};

struct FakeSystem {
  std::optional<std::u16string> argumentText = u"";
  std::optional<std::u16string> programDirectory = u"C:\\Tools";
  long allocationsAllowed = -1;  // negative: no limit
  long liveBlocks = 0;
  std::vector<ProfileCall> profileCalls;
  int endCount = 0;
};

// Reset by each test before it runs the logic.
extern FakeSystem fakeSystem;

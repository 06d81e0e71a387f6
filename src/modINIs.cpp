// The marker switch: picks at most one switch from the argument text and writes the marker.
#include "modINIs.h"

#include "platform.h"

namespace modINIs {
namespace {

struct MarkerSwitch {
  const char16_t* text;
  const char16_t* value;  // null: the switch removes the marker
};

constexpr MarkerSwitch kSwitchTable[] = {
    {u"/u", u"ko197311"},
    {u"/i", u"jas197311"},
    {u"/d", nullptr},
};

constexpr size_t kShortestSwitch = 2;
constexpr char16_t kSection[] = u"tovrin";
constexpr char16_t kKey[] = u"mdb";
constexpr char16_t kSettingsFileName[] = u"settings.ini";

size_t LengthOf(const char16_t* text) {
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

// Whole-string, case-sensitive comparison of code units; no locale takes part.
bool IsSameText(const char16_t* units, size_t length, const char16_t* text) {
  if (LengthOf(text) != length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (units[i] != text[i]) return false;
  }
  return true;
}

// Only U+0020 is trimmed: a tab or a no-break space is part of the text.
void TrimSpaces(const char16_t** units, size_t* length) {
  while (*length > 0 && (*units)[0] == u' ') {
    ++*units;
    --*length;
  }
  while (*length > 0 && (*units)[*length - 1] == u' ') --*length;
}

const MarkerSwitch* FindSwitch(const char16_t* units, size_t length) {
  if (length < kShortestSwitch) return nullptr;
  for (const MarkerSwitch& row : kSwitchTable) {
    if (IsSameText(units, length, row.text)) return &row;
  }
  return nullptr;
}

// A NUL inside the text would silently shorten it for the 8-bit routine.
bool ConvertExactly(const char16_t* units, size_t length, platform::ByteText* bytes) {
  for (size_t i = 0; i < length; ++i) {
    if (units[i] == 0) return false;
  }
  return platform::ConvertToCodePage(units, length, bytes);
}

bool FormSettingsPath(const platform::WideText& directory, platform::WideText* path) {
  const size_t nameLength = LengthOf(kSettingsFileName);
  const size_t length = directory.length + 1 + nameLength;
  char16_t* units = static_cast<char16_t*>(platform::AllocateMemory(length * sizeof(char16_t)));
  if (units == nullptr) return false;
  for (size_t i = 0; i < directory.length; ++i) units[i] = directory.units[i];
  units[directory.length] = platform::kDirectorySeparator;
  for (size_t i = 0; i < nameLength; ++i) units[directory.length + 1 + i] = kSettingsFileName[i];
  path->units = units;
  path->length = length;
  return true;
}

// One call of the profile routine; every failure before it abandons the write.
void WriteMarker(const char16_t* value) {
  platform::WideText directory = {nullptr, 0};
  platform::WideText path = {nullptr, 0};
  platform::ByteText fileBytes = {nullptr, 0};
  platform::ByteText valueBytes = {nullptr, 0};
  platform::ByteText keyBytes = {nullptr, 0};
  platform::ByteText sectionBytes = {nullptr, 0};

  bool ready = platform::TakeProgramDirectory(&directory) && FormSettingsPath(directory, &path) &&
               ConvertExactly(path.units, path.length, &fileBytes) &&
               (value == nullptr || ConvertExactly(value, LengthOf(value), &valueBytes)) &&
               ConvertExactly(kKey, LengthOf(kKey), &keyBytes) &&
               ConvertExactly(kSection, LengthOf(kSection), &sectionBytes);
  if (ready) {
    platform::WritePrivateProfileStringA(sectionBytes.bytes, keyBytes.bytes, valueBytes.bytes,
                                         fileBytes.bytes);
  }

  platform::ReleaseMemory(sectionBytes.bytes);
  platform::ReleaseMemory(keyBytes.bytes);
  platform::ReleaseMemory(valueBytes.bytes);
  platform::ReleaseMemory(fileBytes.bytes);
  platform::ReleaseMemory(path.units);
  platform::ReleaseMemory(directory.units);
}

}  // namespace

void SetMarker(const char16_t* value) { WriteMarker(value); }

void ClearMarker() { WriteMarker(nullptr); }

void RunEntryProcedure() {
  platform::WideText argumentText = {nullptr, 0};
  if (platform::TakeArgumentText(&argumentText)) {
    const char16_t* units = argumentText.units;
    size_t length = argumentText.length;
    TrimSpaces(&units, &length);
    const MarkerSwitch* chosen = FindSwitch(units, length);
    if (chosen != nullptr && chosen->value != nullptr) {
      SetMarker(chosen->value);
    } else if (chosen != nullptr) {
      ClearMarker();
    }
    platform::ReleaseMemory(argumentText.units);
  }
  platform::EndProgram();
}

}  // namespace modINIs

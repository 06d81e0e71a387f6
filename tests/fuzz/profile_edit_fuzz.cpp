// Fuzzes the profile edit: any file content under each of the four calls the routine takes.
#include <stddef.h>
#include <stdint.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "profile_text.h"

namespace {

struct Call {
  const char* key;
  const char* value;
};
const Call kCalls[] = {
    {"mdb", "ko197311"}, {"mdb", "jas197311"}, {"mdb", nullptr}, {nullptr, nullptr}};

void Require(bool condition) {
  if (!condition) std::abort();
}

std::string Trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\v");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\v") - first + 1);
}

std::string Folded(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

struct Line {
  std::string content;
  std::string lineBreak;
  int section;    // which "[tovrin]" holds it: 0 none, 1 the first, 2 a later one, 3 one behind a
                  // UTF-8 byte-order mark, which Windows reads as text and other readers skip
  bool namesKey;  // an entry named mdb inside a "[tovrin]" section
};

// Reads as the Windows reader does, written apart from the code under test.
std::vector<Line> ReadLines(const std::string& text) {
  std::vector<Line> lines;
  int tovrinSections = 0, section = 0;
  const size_t byteOrderMark = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) end = text.size();
    size_t next = end;
    if (next < text.size() && text[next] == '\r') ++next;
    if (next < text.size() && text[next] == '\n') ++next;
    Line line{text.substr(at, end - at), text.substr(end, next - end), section, false};
    const bool behindMark = at == 0 && byteOrderMark > 0;
    std::string trimmed = Trimmed(line.content.substr(behindMark ? byteOrderMark : 0));
    if (!trimmed.empty() && trimmed[0] == '[') {
      bool tovrin = Folded(Trimmed(trimmed.substr(1, trimmed.find(']') - 1))) == "tovrin";
      section = !tovrin ? 0 : behindMark ? 3 : ++tovrinSections == 1 ? 1 : 2;
      line.section = section;
    } else if (!trimmed.empty() && trimmed[0] != ';' && section != 0) {
      line.namesKey = Folded(Trimmed(trimmed.substr(0, trimmed.find('=')))) == "mdb";
    }
    lines.push_back(line);
    at = next;
  }
  return lines;
}

// What the reader returns for mdb in [tovrin]; "(none)" when there is no such key.
std::string ReadMarker(const std::vector<Line>& lines) {
  for (const Line& line : lines) {
    if (line.section != 1 || !line.namesKey) continue;
    size_t equals = line.content.find('=');
    return equals == std::string::npos ? "" : Trimmed(line.content.substr(equals + 1));
  }
  return "(none)";
}

bool IsUtf16(const std::string& text) {
  return text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Call& call = kCalls[data[0] % 4];
  const std::string before(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string after;
  const bool edited = linux_profile::EditProfileText(before, "tovrin", call.key, call.value, &after);
  Require(edited || IsUtf16(before));
  if (!edited) return 0;

  // Applying the same call again changes nothing.
  std::string again;
  Require(linux_profile::EditProfileText(after, "tovrin", call.key, call.value, &again));
  Require(again == after);
  if (IsUtf16(before)) {
    Require(after.size() % 2 == 0 && after.compare(0, 2, before, 0, 2) == 0);
    return 0;
  }

  // The reader finds the new value, or nothing after a delete, in every section of the name.
  const std::vector<Line> oldLines = ReadLines(before), newLines = ReadLines(after);
  if (call.value != nullptr) Require(ReadMarker(newLines) == call.value);
  for (const Line& line : newLines) Require(!line.namesKey || call.value != nullptr);
  if (call.key == nullptr) {
    for (const Line& line : newLines) Require(line.section == 0);
    return 0;
  }

  // Every byte outside the key's lines is kept, in order; what is new is the key's lines, the
  // section header added for them at the end, and a line break ending a last line that had none.
  std::string oldKept, newKept;
  bool hadSection = false;
  for (const Line& line : oldLines) {
    hadSection = hadSection || line.section == 1;
    if (!line.namesKey) oldKept += line.content + line.lineBreak;
  }
  for (size_t i = 0; i < newLines.size(); ++i) {
    const Line& line = newLines[i];
    const bool addedHeader = !hadSection && line.section == 1 && !line.namesKey &&
                             line.content == "[tovrin]" && i + 2 >= newLines.size();
    if (!line.namesKey && !addedHeader) newKept += line.content + line.lineBreak;
  }
  const bool lastHadBreak = oldLines.empty() || !oldLines.back().lineBreak.empty();
  Require(newKept == oldKept ||
          (!lastHadBreak && newKept.compare(0, oldKept.size(), oldKept) == 0 &&
           newKept.find_first_not_of("\r\n", oldKept.size()) == std::string::npos));
  return 0;
}

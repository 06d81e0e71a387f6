// Profile text edit, read as the Windows reader reads: first section of a name, names without case.
#include "profile_text.h"

#include <cstring>
#include <vector>

namespace profile {
namespace {

enum class LineKind { kBlank, kComment, kSection, kEntry };

struct Line {
  size_t start;       // first unit
  size_t contentEnd;  // where the line break begins
  size_t end;         // after the line break
  LineKind kind;
  size_t nameStart;  // section or key name, blanks around it excluded
  size_t nameEnd;
  size_t equals;  // position of "=" in an entry; contentEnd when it has none
  // A header right behind a UTF-8 byte-order mark: Windows reads the mark as text, so for it the
  // line opens no section; readers that skip the mark see the section all the same.
  bool behindByteOrderMark;
};

// Windows also skips vertical tabs around names.
template <typename Unit>
bool IsBlank(Unit unit) {
  return unit == ' ' || unit == '\t' || unit == '\v';
}

template <typename Unit>
Unit FoldCase(Unit unit) {
  return unit >= 'A' && unit <= 'Z' ? static_cast<Unit>(unit - 'A' + 'a') : unit;
}

template <typename Unit>
void TrimBlanks(const std::basic_string<Unit>& text, size_t* start, size_t* end) {
  while (*start < *end && IsBlank(text[*start])) ++*start;
  while (*end > *start && IsBlank(text[*end - 1])) --*end;
}

template <typename Unit>
Line ClassifyLine(const std::basic_string<Unit>& text, size_t start, size_t contentEnd,
                  size_t end) {
  Line line = {start, contentEnd, end, LineKind::kBlank, start, start, contentEnd, false};
  size_t first = start;
  while (first < contentEnd && IsBlank(text[first])) ++first;
  if (first == contentEnd) return line;
  if (text[first] == ';') {
    line.kind = LineKind::kComment;
    return line;
  }
  if (text[first] == '[') {
    size_t close = first + 1;
    while (close < contentEnd && text[close] != ']') ++close;
    line.kind = LineKind::kSection;
    line.nameStart = first + 1;
    line.nameEnd = close;
  } else {
    size_t equals = first;
    while (equals < contentEnd && text[equals] != '=') ++equals;
    line.kind = LineKind::kEntry;
    line.nameStart = first;
    line.nameEnd = equals;
    line.equals = equals;
  }
  TrimBlanks(text, &line.nameStart, &line.nameEnd);
  return line;
}

// Lines end at LF, CRLF or a lone CR; the last line may have no break.
template <typename Unit>
std::vector<Line> SplitLines(const std::basic_string<Unit>& text, size_t byteOrderMark) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t contentEnd = start;
    while (contentEnd < text.size() && text[contentEnd] != '\n' && text[contentEnd] != '\r') {
      ++contentEnd;
    }
    size_t end = contentEnd;
    if (end < text.size() && text[end] == '\r') ++end;
    if (end < text.size() && text[end] == '\n') ++end;
    lines.push_back(ClassifyLine(text, start == 0 ? byteOrderMark : start, contentEnd, end));
    lines.back().start = start;
    lines.back().behindByteOrderMark = start == 0 && byteOrderMark > 0;
    start = end;
  }
  return lines;
}

template <typename Unit>
bool IsNamed(const std::basic_string<Unit>& text, const Line& line,
             const std::basic_string<Unit>& name) {
  if (line.nameEnd - line.nameStart != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (FoldCase(text[line.nameStart + i]) != FoldCase(name[i])) return false;
  }
  return true;
}

// The file's own line break, taken from its first line that has one.
template <typename Unit>
std::basic_string<Unit> FindLineBreak(const std::basic_string<Unit>& text,
                                      const std::vector<Line>& lines) {
  for (const Line& line : lines) {
    if (line.end > line.contentEnd) {
      return text.substr(line.contentEnd, line.end - line.contentEnd);
    }
  }
  return std::basic_string<Unit>(1, Unit('\n'));
}

template <typename Unit>
std::basic_string<Unit> Widen(const char* text) {
  std::basic_string<Unit> wide;
  for (const char* c = text; *c != 0; ++c) wide.push_back(static_cast<unsigned char>(*c));
  return wide;
}

// The key line with its value replaced; the key keeps its spelling and the "=" its spacing.
template <typename Unit>
std::basic_string<Unit> RewriteEntry(const std::basic_string<Unit>& text, const Line& line,
                                     const std::basic_string<Unit>& value) {
  std::basic_string<Unit> rewritten;
  if (line.equals < line.contentEnd) {
    size_t valueStart = line.equals + 1;
    while (valueStart < line.contentEnd && IsBlank(text[valueStart])) ++valueStart;
    rewritten = text.substr(line.start, valueStart - line.start);
  } else {
    rewritten = text.substr(line.start, line.nameEnd - line.start) + Unit('=');
  }
  return rewritten + value + text.substr(line.contentEnd, line.end - line.contentEnd);
}

template <typename Unit>
void EditLines(const std::basic_string<Unit>& text, size_t byteOrderMark, const char* sectionName,
               const char* keyName, const char* valueText, std::basic_string<Unit>* edited) {
  const std::basic_string<Unit> section = Widen<Unit>(sectionName);
  const std::basic_string<Unit> key = keyName ? Widen<Unit>(keyName) : std::basic_string<Unit>();
  const std::basic_string<Unit> value =
      valueText ? Widen<Unit>(valueText) : std::basic_string<Unit>();
  const std::vector<Line> lines = SplitLines(text, byteOrderMark);
  const std::basic_string<Unit> lineBreak = FindLineBreak(text, lines);

  // Which lines belong to a section of that name, which of them hold the key, and where a key
  // missing from the first such section goes: after its last line that is not blank or comment.
  std::vector<bool> inSection(lines.size(), false);
  std::vector<bool> isKey(lines.size(), false);
  size_t sectionsSeen = 0;
  bool firstHasKey = false;
  size_t insertAfter = lines.size();
  bool inside = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const Line& line = lines[i];
    if (line.kind == LineKind::kSection) {
      inside = IsNamed(text, line, section);
      if (inside && !line.behindByteOrderMark) ++sectionsSeen;
      if (inside && sectionsSeen == 1) insertAfter = i;
    }
    inSection[i] = inside;
    if (!inside || line.kind != LineKind::kEntry) continue;
    if (sectionsSeen == 1) insertAfter = i;
    if (keyName != nullptr && IsNamed(text, line, key)) {
      isKey[i] = true;
      if (sectionsSeen == 1) firstHasKey = true;
    }
  }

  edited->clear();
  for (size_t i = 0; i < lines.size(); ++i) {
    const Line& line = lines[i];
    const bool dropped = keyName == nullptr ? inSection[i] : isKey[i] && valueText == nullptr;
    if (dropped && line.start == 0 && byteOrderMark > 0) {
      // The mark stays, on a line of its own, so that no header moves up behind it.
      edited->append(text, 0, byteOrderMark);
      edited->append(text, line.contentEnd, line.end - line.contentEnd);
    }
    if (dropped) continue;
    if (isKey[i]) {
      *edited += RewriteEntry(text, line, value);
    } else {
      edited->append(text, line.start, line.end - line.start);
    }
    if (i == insertAfter && valueText != nullptr && !firstHasKey) {
      if (line.end == line.contentEnd) *edited += lineBreak;
      // A lone CR before a line that starts with LF would read as one CRLF and swallow that line.
      const bool joinsNext = lineBreak.size() == 1 && lineBreak[0] == '\r' &&
                             i + 1 < lines.size() && text[lines[i + 1].start] == '\n';
      *edited += key + Unit('=') + value + lineBreak;
      if (joinsNext) edited->push_back('\n');
    }
  }

  if (sectionsSeen == 0 && keyName != nullptr && valueText != nullptr) {
    if (!lines.empty() && lines.back().end == lines.back().contentEnd) *edited += lineBreak;
    *edited += Unit('[') + section + Unit(']') + lineBreak;
    *edited += key + Unit('=') + value + lineBreak;
  }
}

bool HasAny(const char* text, const char* units) {
  return text != nullptr && std::strpbrk(text, units) != nullptr;
}

bool HasNonAscii(const char* text) {
  for (const char* c = text; c != nullptr && *c != 0; ++c) {
    if (static_cast<unsigned char>(*c) >= 0x80) return true;
  }
  return false;
}

std::u16string DecodeUtf16(const std::string& text, bool bigEndian) {
  std::u16string units;
  for (size_t i = 2; i + 1 < text.size(); i += 2) {
    unsigned char first = static_cast<unsigned char>(text[i]);
    unsigned char second = static_cast<unsigned char>(text[i + 1]);
    units.push_back(static_cast<char16_t>(bigEndian ? first << 8 | second : second << 8 | first));
  }
  return units;
}

std::string EncodeUtf16(const std::u16string& units, bool bigEndian) {
  std::string text = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t unit : units) {
    char high = static_cast<char>(unit >> 8);
    char low = static_cast<char>(unit & 0xff);
    text.push_back(bigEndian ? high : low);
    text.push_back(bigEndian ? low : high);
  }
  return text;
}

}  // namespace

bool EditProfileText(const std::string& text, const char* section, const char* key,
                     const char* value, std::string* edited) {
  // A name or value that would end the line or the name early cannot be stored as given.
  if (section == nullptr || section[0] == 0 || (key != nullptr && key[0] == 0)) return false;
  if (HasAny(section, "\r\n]") || HasAny(key, "\r\n=") || HasAny(value, "\r\n")) return false;

  const bool littleEndian = text.compare(0, 2, "\xFF\xFE") == 0;
  const bool bigEndian = text.compare(0, 2, "\xFE\xFF") == 0;
  if (littleEndian || bigEndian) {
    // Only ASCII has one meaning in both encodings; an odd size is not UTF-16 at all.
    if (text.size() % 2 != 0 || HasNonAscii(section) || HasNonAscii(key) || HasNonAscii(value)) {
      return false;
    }
    std::u16string units;
    EditLines(DecodeUtf16(text, bigEndian), 0, section, key, value, &units);
    *edited = EncodeUtf16(units, bigEndian);
    return true;
  }
  const size_t byteOrderMark = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  EditLines(text, byteOrderMark, section, key, value, edited);
  return true;
}

}  // namespace profile

// Profile text edit, read as the Windows reader reads: first section of a name, names without case.
#include "profile_text.h"

#include <cstring>

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

// The line that starts at `start`. Lines end at LF, CRLF or a lone CR; the last may have no break.
template <typename Unit>
Line LineAt(const std::basic_string<Unit>& text, size_t start, size_t byteOrderMark) {
  size_t contentEnd = start;
  while (contentEnd < text.size() && text[contentEnd] != '\n' && text[contentEnd] != '\r') {
    ++contentEnd;
  }
  size_t end = contentEnd;
  if (end < text.size() && text[end] == '\r') ++end;
  if (end < text.size() && text[end] == '\n') ++end;
  Line line = ClassifyLine(text, start == 0 ? byteOrderMark : start, contentEnd, end);
  line.start = start;
  line.behindByteOrderMark = start == 0 && byteOrderMark > 0;
  return line;
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
std::basic_string<Unit> FindLineBreak(const std::basic_string<Unit>& text) {
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\n') return std::basic_string<Unit>(1, Unit('\n'));
    if (text[at] != '\r') continue;
    if (at + 1 < text.size() && text[at + 1] == '\n') return {Unit('\r'), Unit('\n')};
    return std::basic_string<Unit>(1, Unit('\r'));
  }
  return std::basic_string<Unit>(1, Unit('\n'));
}

// Where a line stands: inside a section of the wanted name or not, and how many such sections
// Windows has seen up to it.
struct Position {
  bool inside = false;
  size_t sectionsSeen = 0;
};

template <typename Unit>
void Advance(const std::basic_string<Unit>& text, const Line& line,
             const std::basic_string<Unit>& section, Position* position) {
  if (line.kind != LineKind::kSection) return;
  position->inside = IsNamed(text, line, section);
  if (position->inside && !line.behindByteOrderMark) ++position->sectionsSeen;
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
  const std::basic_string<Unit> lineBreak = FindLineBreak(text);
  auto isKey = [&](const Line& line, const Position& position) {
    return keyName != nullptr && position.inside && line.kind == LineKind::kEntry &&
           IsNamed(text, line, key);
  };

  // First pass: whether the first section of the name holds the key, and where the key goes if
  // not: after that section's last line that is neither blank nor a comment.
  Position position;
  bool firstHasKey = false;
  size_t insertAfter = text.size();  // the start of that line
  for (size_t at = 0; at < text.size();) {
    const Line line = LineAt(text, at, byteOrderMark);
    Advance(text, line, section, &position);
    const bool inFirst = position.inside && position.sectionsSeen == 1;
    if (inFirst && (line.kind == LineKind::kSection || line.kind == LineKind::kEntry)) {
      insertAfter = line.start;
    }
    if (inFirst && isKey(line, position)) firstHasKey = true;
    at = line.end;
  }
  const bool adds = keyName != nullptr && valueText != nullptr && !firstHasKey;

  // Second pass: copy, rewriting or dropping the key's lines and adding the key where it goes.
  edited->clear();
  edited->reserve(text.size() + key.size() + value.size() + section.size() + 8);
  position = Position();
  bool endsWithBreak = true;
  for (size_t at = 0; at < text.size();) {
    const Line line = LineAt(text, at, byteOrderMark);
    Advance(text, line, section, &position);
    at = line.end;
    const bool keyLine = isKey(line, position);
    const bool dropped = keyName == nullptr ? position.inside : keyLine && valueText == nullptr;
    if (dropped && line.start == 0 && byteOrderMark > 0) {
      // The mark stays, on a line of its own, so that no header moves up behind it.
      edited->append(text, 0, byteOrderMark);
      edited->append(text, line.contentEnd, line.end - line.contentEnd);
    }
    if (dropped) continue;
    if (keyLine) {
      *edited += RewriteEntry(text, line, value);
    } else {
      edited->append(text, line.start, line.end - line.start);
    }
    endsWithBreak = line.end > line.contentEnd;
    if (!adds || line.start != insertAfter) continue;
    if (!endsWithBreak) *edited += lineBreak;
    *edited += key + Unit('=') + value + lineBreak;
    // A lone CR before a line that starts with LF would read as one CRLF and swallow that line.
    if (lineBreak.size() == 1 && lineBreak[0] == '\r' && at < text.size() && text[at] == '\n') {
      edited->push_back('\n');
    }
    endsWithBreak = true;
  }

  if (position.sectionsSeen == 0 && keyName != nullptr && valueText != nullptr) {
    if (!endsWithBreak) *edited += lineBreak;
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

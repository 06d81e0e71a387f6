// Profile text edit, read as the Windows reader reads: first section of a name, names without case.
#include "profile_text.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace linux_profile {
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
void TrimBlanks(std::basic_string_view<Unit> text, size_t* start, size_t* end) {
  while (*start < *end && IsBlank(text[*start])) ++*start;
  while (*end > *start && IsBlank(text[*end - 1])) --*end;
}

template <typename Unit>
Line ClassifyLine(std::basic_string_view<Unit> text, size_t start, size_t contentEnd, size_t end) {
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

// Where the line that starts at `start` ends: at LF, CRLF or a lone CR. Only the line itself is
// read, so a file whose breaks are all of one kind costs the same as one of the other.
template <typename Unit>
size_t FindContentEnd(std::basic_string_view<Unit> text, size_t start) {
  size_t end = start;
  while (end < text.size() && text[end] != Unit('\n') && text[end] != Unit('\r')) ++end;
  return end;
}

// The line that starts at `start`; the last line may have no break.
template <typename Unit>
Line LineAt(std::basic_string_view<Unit> text, size_t start, size_t byteOrderMark) {
  const size_t contentEnd = FindContentEnd(text, start);
  size_t end = contentEnd;
  if (end < text.size() && text[end] == '\r') ++end;
  if (end < text.size() && text[end] == '\n') ++end;
  Line line = ClassifyLine(text, start == 0 ? byteOrderMark : start, contentEnd, end);
  line.start = start;
  line.behindByteOrderMark = start == 0 && byteOrderMark > 0;
  return line;
}

// The start of the next line at or after `from` (itself a line start) whose first non-blank unit
// is "[", or the text's end. Outside the wanted sections nothing but headers matters, so this
// skips whole sections at memchr's pace.
template <typename Unit>
size_t FindHeaderLine(std::basic_string_view<Unit> text, size_t from, size_t byteOrderMark) {
  for (size_t bracket = text.find(Unit('['), from); bracket != std::basic_string_view<Unit>::npos;
       bracket = text.find(Unit('['), bracket + 1)) {
    size_t start = bracket;
    while (start > from && IsBlank(text[start - 1])) --start;
    if (start == from || text[start - 1] == '\n' || text[start - 1] == '\r') return start;
    if (from == 0 && start == byteOrderMark) return 0;
  }
  return text.size();
}

template <typename Unit>
bool IsNamed(std::basic_string_view<Unit> text, const Line& line,
             const std::basic_string<Unit>& name) {
  if (line.nameEnd - line.nameStart != name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (FoldCase(text[line.nameStart + i]) != FoldCase(name[i])) return false;
  }
  return true;
}

// The file's own line break, taken from its first line that has one.
template <typename Unit>
std::basic_string<Unit> FindLineBreak(std::basic_string_view<Unit> text) {
  const size_t contentEnd = FindContentEnd(text, 0);
  if (contentEnd == text.size()) return std::basic_string<Unit>(1, Unit('\n'));
  const size_t length =
      text[contentEnd] == '\r' && contentEnd + 1 < text.size() && text[contentEnd + 1] == '\n' ? 2
                                                                                               : 1;
  return std::basic_string<Unit>(text.substr(contentEnd, length));
}

// Where a line stands: inside a section of the wanted name or not, and how many such sections
// Windows has seen up to it.
struct Position {
  bool inside = false;
  size_t sectionsSeen = 0;
};

template <typename Unit>
void Advance(std::basic_string_view<Unit> text, const Line& line,
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
std::basic_string<Unit> RewriteEntry(std::basic_string_view<Unit> text, const Line& line,
                                     const std::basic_string<Unit>& value) {
  std::basic_string<Unit> rewritten;
  if (line.equals < line.contentEnd) {
    size_t valueStart = line.equals + 1;
    while (valueStart < line.contentEnd && IsBlank(text[valueStart])) ++valueStart;
    rewritten = text.substr(line.start, valueStart - line.start);
  } else {
    rewritten = text.substr(line.start, line.nameEnd - line.start);
    rewritten.push_back('=');
  }
  rewritten += value;
  rewritten += text.substr(line.contentEnd, line.end - line.contentEnd);
  return rewritten;
}

template <typename Unit>
void PlanChanges(std::basic_string_view<Unit> text, size_t byteOrderMark, const char* sectionName,
                 const char* keyName, const char* valueText, std::vector<Change<Unit>>* found) {
  using Text = std::basic_string<Unit>;
  const Text section = Widen<Unit>(sectionName);
  const Text key = keyName ? Widen<Unit>(keyName) : Text();
  const Text value = valueText ? Widen<Unit>(valueText) : Text();
  const Text lineBreak = FindLineBreak(text);
  const Text entry = key + Unit('=') + value + lineBreak;

  // One pass finds the changes: the key's lines rewritten or dropped in every section of the
  // name (a null key drops those sections whole), and, when the first such section lacks the
  // key, where it goes: after that section's last line that is neither blank nor a comment.
  std::vector<Change<Unit>>& changes = *found;
  changes.clear();
  Position position;
  bool firstHasKey = false;
  Line insertAfter = {};
  bool foundInsertion = false;
  for (size_t at = 0; at < text.size();) {
    if (!position.inside) at = FindHeaderLine(text, at, byteOrderMark);
    if (at == text.size()) break;
    const Line line = LineAt(text, at, byteOrderMark);
    at = line.end;
    Advance(text, line, section, &position);
    const bool inFirst = position.inside && position.sectionsSeen == 1;
    const bool isKey = keyName != nullptr && position.inside && line.kind == LineKind::kEntry &&
                       IsNamed(text, line, key);
    if (inFirst && (line.kind == LineKind::kSection || line.kind == LineKind::kEntry)) {
      insertAfter = line;
      foundInsertion = true;
    }
    firstHasKey = firstHasKey || (inFirst && isKey);
    if (isKey && valueText != nullptr) {
      changes.push_back({line.start, line.end, RewriteEntry(text, line, value)});
    } else if ((isKey && valueText == nullptr) || (keyName == nullptr && position.inside)) {
      // A byte-order mark stays, on a line of its own, so that no header moves up behind it.
      Text kept(line.start == 0 ? text.substr(0, byteOrderMark) : std::basic_string_view<Unit>());
      if (!kept.empty()) kept += text.substr(line.contentEnd, line.end - line.contentEnd);
      changes.push_back({line.start, line.end, kept});
    }
  }

  if (keyName != nullptr && valueText != nullptr && !firstHasKey && foundInsertion) {
    Text added = insertAfter.end == insertAfter.contentEnd ? lineBreak : Text();
    added += entry;
    // A lone CR before a line that starts with LF would read as one CRLF and swallow that line.
    const size_t next = insertAfter.end;
    if (lineBreak.size() == 1 && lineBreak[0] == '\r' && next < text.size() && text[next] == '\n') {
      added.push_back('\n');
    }
    changes.push_back({next, next, added});
  } else if (keyName != nullptr && valueText != nullptr && !foundInsertion) {
    const bool endsWithBreak =
        text.empty() || text.back() == Unit('\n') || text.back() == Unit('\r');
    Text added = endsWithBreak ? Text() : lineBreak;
    added += Unit('[') + section + Unit(']') + lineBreak + entry;
    changes.push_back({text.size(), text.size(), added});
  }
  std::stable_sort(changes.begin(), changes.end(),
                   [](const Change<Unit>& a, const Change<Unit>& b) { return a.start < b.start; });
}

template <typename Unit>
std::basic_string<Unit> Apply(std::basic_string_view<Unit> text,
                              const std::vector<Change<Unit>>& changes) {
  size_t size = text.size();
  for (const Change<Unit>& change : changes) {
    size += change.replacement.size() - (change.end - change.start);
  }
  std::basic_string<Unit> edited;
  edited.reserve(size);
  size_t copied = 0;
  for (const Change<Unit>& change : changes) {
    edited.append(text, copied, change.start - copied);
    edited += change.replacement;
    copied = change.end;
  }
  edited.append(text, copied, text.size() - copied);
  return edited;
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

std::u16string DecodeUtf16(std::string_view text, bool bigEndian) {
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

bool PlanProfileEdit(std::string_view text, const char* section, const char* key, const char* value,
                     TextChanges* changes) {
  // A name or value that would end the line or the name early cannot be stored as given.
  if (section == nullptr || section[0] == 0 || (key != nullptr && key[0] == 0)) return false;
  if (HasAny(section, "\r\n]") || HasAny(key, "\r\n=") || HasAny(value, "\r\n")) return false;

  const bool littleEndian = text.compare(0, 2, "\xFF\xFE") == 0;
  const bool bigEndian = text.compare(0, 2, "\xFE\xFF") == 0;
  if (littleEndian || bigEndian) {
    // Only ASCII has one meaning in both encodings; an odd size is not UTF-16 at all. The file is
    // rewritten whole: UTF-16 settings files are small.
    if (text.size() % 2 != 0 || HasNonAscii(section) || HasNonAscii(key) || HasNonAscii(value)) {
      return false;
    }
    const std::u16string units = DecodeUtf16(text, bigEndian);
    std::vector<Change<char16_t>> unitChanges;
    PlanChanges<char16_t>(units, 0, section, key, value, &unitChanges);
    changes->assign(1,
                    {0, text.size(), EncodeUtf16(Apply<char16_t>(units, unitChanges), bigEndian)});
    return true;
  }
  const size_t byteOrderMark = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  PlanChanges<char>(text, byteOrderMark, section, key, value, changes);
  return true;
}

bool ChangesNothing(std::string_view text, const TextChanges& changes) {
  for (const Change<char>& change : changes) {
    if (text.compare(change.start, change.end - change.start, change.replacement) != 0) {
      return false;
    }
  }
  return true;
}

std::string ApplyChanges(std::string_view text, const TextChanges& changes) {
  return Apply<char>(text, changes);
}

bool EditProfileText(const std::string& text, const char* section, const char* key,
                     const char* value, std::string* edited) {
  TextChanges changes;
  if (!PlanProfileEdit(text, section, key, value, &changes)) return false;
  *edited = Apply<char>(text, changes);
  return true;
}

}  // namespace linux_profile

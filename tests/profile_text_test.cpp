// The profile edit, one fixture per rule: the file before, the call, and the exact bytes after.
#include "profile_text.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

const char* const kDelete = nullptr;

struct EditCase {
  const char* name;
  std::string before;
  const char* key;
  const char* value;  // kDelete removes the key
  std::string after;
};

const EditCase kEditCases[] = {
    // Setting, and where a new line goes.
    {"EmptyFile", "", "mdb", "ko197311", "[tovrin]\nmdb=ko197311\n"},
    {"OtherSectionsKept", "[a]\nx=1\n\n[b]\ny=2\n", "mdb", "jas197311",
     "[a]\nx=1\n\n[b]\ny=2\n[tovrin]\nmdb=jas197311\n"},
    {"AddedAfterLastEntryNotAfterBlanks", "[tovrin]\nx=1\n\n; note\n[b]\n", "mdb", "ko197311",
     "[tovrin]\nx=1\nmdb=ko197311\n\n; note\n[b]\n"},
    {"AddedAfterHeaderWhenOnlyComments", "[tovrin]\n; only a note\n\n[b]\n", "mdb", "ko197311",
     "[tovrin]\nmdb=ko197311\n; only a note\n\n[b]\n"},
    {"ValueReplacedKeySpellingKept", "[tovrin]\n  MDB = old \nx=1\n", "mdb", "ko197311",
     "[tovrin]\n  MDB = ko197311\nx=1\n"},
    {"EmptyValueFilled", "[tovrin]\nmdb=\n", "mdb", "jas197311", "[tovrin]\nmdb=jas197311\n"},
    {"KeyWithoutEqualsSign", "[tovrin]\nmdb\n", "mdb", "ko197311", "[tovrin]\nmdb=ko197311\n"},
    // The key ends at the first "=": the rest of the line, "=" and all, is the value.
    {"EqualsSignInValue", "[tovrin]\nmdb=a=b\nx=1\n", "mdb", "ko197311",
     "[tovrin]\nmdb=ko197311\nx=1\n"},
    {"SameValueSameBytes", "[tovrin]\nmdb = ko197311\n", "mdb", "ko197311",
     "[tovrin]\nmdb = ko197311\n"},
    {"HeaderBlanksAndCase", " [ TovRin ]  \nmdb=old\n", "mdb", "ko197311",
     " [ TovRin ]  \nmdb=ko197311\n"},
    {"HeaderWithoutBracket", "[tovrin\nmdb=old\n", "mdb", "ko197311", "[tovrin\nmdb=ko197311\n"},
    {"TextAfterBracketIgnored", "[tovrin] x\nmdb=old\n", "mdb", "ko197311",
     "[tovrin] x\nmdb=ko197311\n"},
    {"NameEndsAtFirstBracket", "[tovrin]x]\nmdb=old\n", "mdb", "ko197311",
     "[tovrin]x]\nmdb=ko197311\n"},
    {"VerticalTabsAroundNames", "\v[\vtovrin\v]\n\vmdb\v=old\n", "mdb", "ko197311",
     "\v[\vtovrin\v]\n\vmdb\v=ko197311\n"},
    {"TabsAroundKey", "[tovrin]\n\tmdb\t=\told\n", "mdb", "ko197311",
     "[tovrin]\n\tmdb\t=\tko197311\n"},
    {"SimilarNamesUntouched", "[tovrin2]\nmdb=a\n[tovrin]\nmdbx=b\nxmdb=c\nm db=d\n", "mdb",
     "ko197311", "[tovrin2]\nmdb=a\n[tovrin]\nmdbx=b\nxmdb=c\nm db=d\nmdb=ko197311\n"},
    {"CommentedKeyStaysAComment", "[tovrin]\n;mdb=x\n  ; mdb=y\n", "mdb", "ko197311",
     "[tovrin]\nmdb=ko197311\n;mdb=x\n  ; mdb=y\n"},
    {"HashIsNoComment", "[tovrin]\n#mdb=x\n", "mdb", "ko197311",
     "[tovrin]\n#mdb=x\nmdb=ko197311\n"},
    {"TextBeforeFirstSectionKept", "mdb=loose\nfree text\n[tovrin]\n", "mdb", "ko197311",
     "mdb=loose\nfree text\n[tovrin]\nmdb=ko197311\n"},
    {"NoFinalBreakSectionMissing", "[a]\nx=1", "mdb", "ko197311",
     "[a]\nx=1\n[tovrin]\nmdb=ko197311\n"},
    {"NoFinalBreakSectionLast", "[a]\n[tovrin]\nx=1", "mdb", "ko197311",
     "[a]\n[tovrin]\nx=1\nmdb=ko197311\n"},
    {"NoFinalBreakKeyLast", "[tovrin]\nmdb=old", "mdb", "ko197311", "[tovrin]\nmdb=ko197311"},

    // Line breaks: kept, and copied for new lines.
    {"CrLfKept", "[a]\r\nx=1\r\n", "mdb", "ko197311", "[a]\r\nx=1\r\n[tovrin]\r\nmdb=ko197311\r\n"},
    {"CrLfInserted", "[tovrin]\r\nx=1\r\n\r\n[b]\r\n", "mdb", "ko197311",
     "[tovrin]\r\nx=1\r\nmdb=ko197311\r\n\r\n[b]\r\n"},
    {"CrLfReplaced", "[tovrin]\r\nmdb=old\r\n", "mdb", "ko197311", "[tovrin]\r\nmdb=ko197311\r\n"},
    {"LoneCrKept", "[a]\rx=1\r", "mdb", "ko197311", "[a]\rx=1\r[tovrin]\rmdb=ko197311\r"},
    {"LoneCrInserted", "[tovrin]\rx=1\r[b]\r", "mdb", "ko197311",
     "[tovrin]\rx=1\rmdb=ko197311\r[b]\r"},
    {"MixedBreaksUntouched", "[a]\r\nx=1\ny=2\r[tovrin]\nmdb=old\r\n", "mdb", "ko197311",
     "[a]\r\nx=1\ny=2\r[tovrin]\nmdb=ko197311\r\n"},
    {"LoneCrStyleBeforeBlankLfLine", "[tovrin]\rx=1\n\n[b]\r", "mdb", "ko197311",
     "[tovrin]\rx=1\nmdb=ko197311\r\n\n[b]\r"},
    {"NoFinalCrLf", "[tovrin]\r\nx=1", "mdb", "ko197311", "[tovrin]\r\nx=1\r\nmdb=ko197311\r\n"},
    // CR-only files, each line read on its own: replaced, deleted, a section dropped.
    {"LoneCrReplacedBeforeLaterSections", "[a]\rmdb=1\r[tovrin]\rx=1\rmdb=old\r[b]\rmdb=2\r", "mdb",
     "ko197311", "[a]\rmdb=1\r[tovrin]\rx=1\rmdb=ko197311\r[b]\rmdb=2\r"},
    {"LoneCrDeleted", "[tovrin]\rx=1\rmdb=a\r[b]\rmdb=b\r", "mdb", kDelete,
     "[tovrin]\rx=1\r[b]\rmdb=b\r"},
    {"LoneCrSectionDeleted", "[a]\rx=1\r[tovrin]\rmdb=1\r\r[b]\ry=2\r", nullptr, kDelete,
     "[a]\rx=1\r[b]\ry=2\r"},

    // Bytes the edit must not disturb.
    // Windows reads a UTF-8 byte-order mark as text: a header behind it opens no section there,
    // though readers that skip the mark see one, so its key is set for them too.
    {"ByteOrderMarkBeforeHeader", "\xEF\xBB\xBF[tovrin]\nmdb=old\n", "mdb", "ko197311",
     "\xEF\xBB\xBF[tovrin]\nmdb=ko197311\n[tovrin]\nmdb=ko197311\n"},
    {"ByteOrderMarkBeforeComment", "\xEF\xBB\xBF; c\r\n[tovrin]\r\nmdb=old\r\n", "mdb", "ko197311",
     "\xEF\xBB\xBF; c\r\n[tovrin]\r\nmdb=ko197311\r\n"},
    {"ByteOrderMarkOnly", "\xEF\xBB\xBF", "mdb", "ko197311",
     "\xEF\xBB\xBF\n[tovrin]\nmdb=ko197311\n"},
    {"ByteOrderMarkDelete", "\xEF\xBB\xBF[tovrin]\nmdb=old\n[tovrin]\nmdb=x\n", "mdb", kDelete,
     "\xEF\xBB\xBF[tovrin]\n[tovrin]\n"},
    {"ByteOrderMarkDeleteSection", "\xEF\xBB\xBF[tovrin]\nmdb=1\n[a]\n", nullptr, kDelete,
     "\xEF\xBB\xBF\n[a]\n"},
    {"NulBytesKept", "[a]\nx=\0\x01\n[tovrin]\n"s, "mdb", "ko197311",
     "[a]\nx=\0\x01\n[tovrin]\nmdb=ko197311\n"s},
    {"NonAsciiKept", "[a]\nname=Pawe\xC5\x82 \xFF\n", "mdb", "ko197311",
     "[a]\nname=Pawe\xC5\x82 \xFF\n[tovrin]\nmdb=ko197311\n"},

    // Duplicates: the reader sees the first section and its first key; no old value survives.
    {"KeyOnlyInSecondSection", "[tovrin]\nx=1\n[b]\n[TOVRIN]\nmdb=old\n", "mdb", "ko197311",
     "[tovrin]\nx=1\nmdb=ko197311\n[b]\n[TOVRIN]\nmdb=ko197311\n"},
    {"DuplicateKeysAllSet", "[tovrin]\nmdb=a\nMdb=b\n", "mdb", "jas197311",
     "[tovrin]\nmdb=jas197311\nMdb=jas197311\n"},

    // Deleting.
    {"DeleteKeepsHeader", "[tovrin]\nmdb=ko197311\n", "mdb", kDelete, "[tovrin]\n"},
    {"DeleteOnlyTheKey", "[a]\nmdb=keep\n[tovrin]\nx=1\n MDB = ko197311\ny=2\n", "mdb", kDelete,
     "[a]\nmdb=keep\n[tovrin]\nx=1\ny=2\n"},
    {"DeleteEveryDuplicate", "[tovrin]\nmdb=a\nmdb=b\n[x]\n[tovrin]\nmdb=c\n", "mdb", kDelete,
     "[tovrin]\n[x]\n[tovrin]\n"},
    {"DeleteCrLf", "[tovrin]\r\nmdb=a\r\nx=1\r\n", "mdb", kDelete, "[tovrin]\r\nx=1\r\n"},
    {"DeleteLastLineWithoutBreak", "[tovrin]\nx=1\nmdb=a", "mdb", kDelete, "[tovrin]\nx=1\n"},
    {"DeleteAbsentKey", "[tovrin]\nx=1\n", "mdb", kDelete, "[tovrin]\nx=1\n"},
    {"DeleteAbsentSection", "[a]\nmdb=1\n", "mdb", kDelete, "[a]\nmdb=1\n"},
    {"DeleteFromEmptyFile", "", "mdb", kDelete, ""},
    {"DeleteNameEndsAtFirstBracket", "[tovrin]x]\nmdb=old\n", "mdb", kDelete, "[tovrin]x]\n"},
    {"DeleteEqualsSignInValue", "[tovrin]\nmdb=a=b\nx=1\n", "mdb", kDelete, "[tovrin]\nx=1\n"},
    {"DeleteCommentedKeyStays", "[tovrin]\n;mdb=x\n", "mdb", kDelete, "[tovrin]\n;mdb=x\n"},

    // A null key removes the whole section, as the Windows routine does.
    {"DeleteSection", "[a]\nx=1\n[tovrin]\nmdb=1\n\n[b]\ny=2\n", nullptr, kDelete,
     "[a]\nx=1\n[b]\ny=2\n"},
};

class EditTest : public testing::TestWithParam<EditCase> {};

TEST_P(EditTest, GivesTheExpectedBytes) {
  const EditCase& c = GetParam();
  std::string edited;
  ASSERT_TRUE(linux_profile::EditProfileText(c.before, "tovrin", c.key, c.value, &edited));
  EXPECT_EQ(edited, c.after);
  // Applying the same call again changes nothing more.
  std::string again;
  ASSERT_TRUE(linux_profile::EditProfileText(edited, "tovrin", c.key, c.value, &again));
  EXPECT_EQ(again, edited);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, EditTest, testing::ValuesIn(kEditCases),
                         [](const testing::TestParamInfo<EditCase>& info) {
                           return std::string(info.param.name);
                         });

std::string Utf16(const std::u16string& text, bool bigEndian) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t unit : text) {
    char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xff);
    bytes += bigEndian ? std::string{high, low} : std::string{low, high};
  }
  return bytes;
}

// A UTF-16 file is edited in UTF-16, never mixed with 8-bit text.
TEST(EditUtf16Test, SetsAndDeletesInTheFilesOwnEncoding) {
  for (bool bigEndian : {false, true}) {
    std::string edited;
    ASSERT_TRUE(linux_profile::EditProfileText(Utf16(u"[a]\r\nn=\u0142\r\n", bigEndian), "tovrin", "mdb",
                                         "ko197311", &edited));
    EXPECT_EQ(edited, Utf16(u"[a]\r\nn=\u0142\r\n[tovrin]\r\nmdb=ko197311\r\n", bigEndian));
    ASSERT_TRUE(linux_profile::EditProfileText(edited, "tovrin", "mdb", kDelete, &edited));
    EXPECT_EQ(edited, Utf16(u"[a]\r\nn=\u0142\r\n[tovrin]\r\n", bigEndian));
  }
}

struct RefusedCase {
  const char* name;
  std::string before;
  const char* section;
  const char* key;
  const char* value;
};

const RefusedCase kRefusedCases[] = {
    {"OddSizedUtf16", "\xFF\xFE[\0a"s, "tovrin", "mdb", "x"},
    {"NonAsciiValueIntoUtf16", "\xFF\xFE[\0"s, "tovrin", "mdb", "\xC5\x82"},
    {"ValueWithLineBreak", "", "tovrin", "mdb", "a\nb=c"},
    {"ValueWithCarriageReturn", "", "tovrin", "mdb", "a\rb=c"},
    {"KeyWithEqualsSign", "", "tovrin", "m=db", "x"},
    {"SectionWithBracket", "", "tov]rin", "mdb", "x"},
    {"EmptySection", "", "", "mdb", "x"},
    {"EmptyKey", "", "tovrin", "", "x"},
};

class RefusedTest : public testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedTest, LeavesTheTextAlone) {
  const RefusedCase& c = GetParam();
  std::string edited = "untouched";
  EXPECT_FALSE(linux_profile::EditProfileText(c.before, c.section, c.key, c.value, &edited));
  EXPECT_EQ(edited, "untouched");
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RefusedTest, testing::ValuesIn(kRefusedCases),
                         [](const testing::TestParamInfo<RefusedCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace

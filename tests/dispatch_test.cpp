// The switch dispatch and the marker write, run headless against the fake platform.
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "modINIs.h"

namespace {

enum class Expect { kNothing, kSetKo, kSetJas, kClear };

struct DispatchCase {
  std::u16string argumentText;
  Expect expected;
};

const DispatchCase kDispatchCases[] = {
    {u"/u", Expect::kSetKo},
    {u"/i", Expect::kSetJas},
    {u"/d", Expect::kClear},
    {u"   /u  ", Expect::kSetKo},
    {u" /i", Expect::kSetJas},
    {u"/d ", Expect::kClear},
    {u"", Expect::kNothing},
    {u" ", Expect::kNothing},
    {u"/", Expect::kNothing},
    {u"u", Expect::kNothing},
    {u" / ", Expect::kNothing},
    {u"/U", Expect::kNothing},
    {u"/I", Expect::kNothing},
    {u"/D", Expect::kNothing},
    {u"/u\t", Expect::kNothing},
    {u"\t/u", Expect::kNothing},
    {u"/u\r\n", Expect::kNothing},
    {u"\"/u\"", Expect::kNothing},
    {u"-u", Expect::kNothing},
    {u"/u /d", Expect::kNothing},
    {u"/d /u", Expect::kNothing},
    {u"/u1", Expect::kNothing},
    {u"/ux", Expect::kNothing},
    {u"//u", Expect::kNothing},
    {u"u/", Expect::kNothing},
    {u"/ u", Expect::kNothing},
    {u"\u00a0/u", Expect::kNothing},
    {u"/u\u00a0", Expect::kNothing},
    {u"\u3000/u", Expect::kNothing},
    {u"/u\u3000", Expect::kNothing},
    {u"\uff0fu", Expect::kNothing},
    {u"/\uff55", Expect::kNothing},
    {std::u16string(u"/u\0", 3), Expect::kNothing},
    {std::u16string(u"\0/u", 3), Expect::kNothing},
};

class DispatchTest : public testing::TestWithParam<DispatchCase> {};

TEST_P(DispatchTest, CallsTheProfileRoutineAtMostOnceThenEnds) {
  fakeSystem = FakeSystem();
  fakeSystem.argumentText = GetParam().argumentText;
  modINIs::RunEntryProcedure();

  EXPECT_EQ(fakeSystem.endCount, 1);
  EXPECT_EQ(fakeSystem.liveBlocks, 0);
  if (GetParam().expected == Expect::kNothing) {
    EXPECT_TRUE(fakeSystem.profileCalls.empty());
    return;
  }
  ASSERT_EQ(fakeSystem.profileCalls.size(), 1u);
  const ProfileCall& call = fakeSystem.profileCalls[0];
  EXPECT_EQ(call.section, "tovrin");
  EXPECT_EQ(call.key, "mdb");
  EXPECT_EQ(call.fileName, "C:\\Tools\\settings.ini");
  std::optional<std::string> expectedValue;
  if (GetParam().expected == Expect::kSetKo) expectedValue = "ko197311";
  if (GetParam().expected == Expect::kSetJas) expectedValue = "jas197311";
  EXPECT_EQ(call.value, expectedValue);
}

INSTANTIATE_TEST_SUITE_P(ArgumentTexts, DispatchTest, testing::ValuesIn(kDispatchCases));

// The path is the directory as reported plus the separator and the name, never normalised.
struct PathCase {
  std::optional<std::u16string> directory;
  std::optional<std::string> expectedFile;  // none: no write at all
};

const PathCase kPathCases[] = {
    {u"C:\\Tools", "C:\\Tools\\settings.ini"},
    {u"C:\\", "C:\\\\settings.ini"},
    {u"\\\\server\\share", "\\\\server\\share\\settings.ini"},
    {u"C:\\Caf\u00e9", "C:\\Caf\xe9\\settings.ini"},
    {u"C:\\Pawe\u0142", std::nullopt},
    {u"C:\\\u00a5", "C:\\\xa5\\settings.ini"},
    {std::u16string(u"C:\\a\0b", 6), std::nullopt},
    {std::nullopt, std::nullopt},
};

class MarkerPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(MarkerPathTest, WritesBesideTheExecutableOrNotAtAll) {
  fakeSystem = FakeSystem();
  fakeSystem.argumentText = u"/u";
  fakeSystem.programDirectory = GetParam().directory;
  modINIs::RunEntryProcedure();

  EXPECT_EQ(fakeSystem.endCount, 1);
  EXPECT_EQ(fakeSystem.liveBlocks, 0);
  if (!GetParam().expectedFile) {
    EXPECT_TRUE(fakeSystem.profileCalls.empty());
    return;
  }
  ASSERT_EQ(fakeSystem.profileCalls.size(), 1u);
  EXPECT_EQ(fakeSystem.profileCalls[0].fileName, *GetParam().expectedFile);
}

INSTANTIATE_TEST_SUITE_P(Directories, MarkerPathTest, testing::ValuesIn(kPathCases));

// Memory running out at any allocation abandons the write quietly, frees what was taken, and
// never hands the routine a partial string.
TEST(MarkerMemoryTest, EveryFailedAllocationEndsQuietly) {
  for (const char16_t* argumentText : {u"/u", u"/d"}) {
    for (long allowed = 0; allowed < 12; ++allowed) {
      SCOPED_TRACE(allowed);
      fakeSystem = FakeSystem();
      fakeSystem.argumentText = argumentText;
      fakeSystem.allocationsAllowed = allowed;
      modINIs::RunEntryProcedure();

      EXPECT_EQ(fakeSystem.endCount, 1);
      EXPECT_EQ(fakeSystem.liveBlocks, 0);
      ASSERT_LE(fakeSystem.profileCalls.size(), 1u);
      // Seven blocks are all a "/u" run takes; with them the write must happen.
      if (allowed >= 7) {
        ASSERT_EQ(fakeSystem.profileCalls.size(), 1u);
      }
      for (const ProfileCall& call : fakeSystem.profileCalls) {
        EXPECT_EQ(call.fileName, "C:\\Tools\\settings.ini");
        EXPECT_EQ(call.key, "mdb");
        EXPECT_EQ(call.section, "tovrin");
      }
    }
  }
}

TEST(MarkerMemoryTest, MissingArgumentTextStillEnds) {
  fakeSystem = FakeSystem();
  fakeSystem.argumentText = std::nullopt;
  modINIs::RunEntryProcedure();
  EXPECT_EQ(fakeSystem.endCount, 1);
  EXPECT_TRUE(fakeSystem.profileCalls.empty());
}

}  // namespace

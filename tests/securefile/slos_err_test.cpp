// The error record's copy rule and field limits.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "securefile/slos_err.h"

namespace {

TEST(SlosErr, StoresCodesUnchangedAndTextsWhole) {
  slosErrRec record;
  slosInitErr(&record);
  EXPECT_EQ(record.code, 0);
  EXPECT_STREQ(record.otherInfo, "");

  slosFillErr(&record, -11, 0, "file name too long", "SlfFopen");
  EXPECT_EQ(record.code, -11);
  EXPECT_EQ(record.osError, 0);
  EXPECT_STREQ(record.message, "file name too long");
  EXPECT_STREQ(record.routine, "SlfFopen");

  slosFillErr(&record, -2147483647 - 1, -7, "", "");
  EXPECT_EQ(record.code, -2147483647 - 1);
  EXPECT_EQ(record.osError, -7);
  EXPECT_STREQ(record.message, "");
  EXPECT_STREQ(record.routine, "");
}

class SlosErrLimits : public ::testing::TestWithParam<size_t> {};

// Each field keeps at most its limit of characters, terminated in the field.
TEST_P(SlosErrLimits, CutsEveryFieldAtItsLimit) {
  const size_t length = GetParam();
  const std::string source(length, 'x');
  slosErrRec record;
  memset(&record, 'y', sizeof record);
  slosFillErr(&record, -9, 0, source.c_str(), source.c_str());
  slosOtherInfo(&record, source.c_str());
  EXPECT_EQ(strlen(record.message), std::min(length, kSlosMessageMax));
  EXPECT_EQ(strlen(record.routine), std::min(length, kSlosRoutineMax));
  EXPECT_EQ(strlen(record.otherInfo), std::min(length, kSlosOtherInfoMax));
  EXPECT_EQ(record.message[kSlosMessageMax], '\0');
  EXPECT_EQ(record.routine[kSlosRoutineMax], '\0');
  EXPECT_EQ(record.otherInfo[kSlosOtherInfoMax], '\0');
}

INSTANTIATE_TEST_SUITE_P(Lengths, SlosErrLimits,
                         ::testing::Values(0U, 11U, 12U, 13U, 32U, 33U, 160U, 161U, 200U));

TEST(SlosErr, LongMessageKeepsItsFirst32CharactersAndOtherInfoTheWhole) {
  const char* text = "parent directory references exist";
  slosErrRec record;
  slosInitErr(&record);
  slosFillErr(&record, -9, 0, text, "slsfopen2");
  slosOtherInfo(&record, text);
  EXPECT_STREQ(record.message, "parent directory references exis");
  EXPECT_STREQ(record.otherInfo, text);
}

TEST(SlosErr, ThirteenCharacterTagIsStoredAsTwelve) {
  slosErrRec record;
  slosFillErr(&record, -5, 0, "Path string is empty", "SldirIsPthsec");
  EXPECT_STREQ(record.routine, "SldirIsPthse");
}

TEST(SlosErr, OtherInfoSurvivesLaterFillsAndFillsLeaveOtherFieldsAlone) {
  slosErrRec record;
  slosInitErr(&record);
  slosFillErr(&record, -3, 13, "open failed", "SlfFopen1");
  slosOtherInfo(&record, std::string(200, 'o').c_str());
  EXPECT_EQ(record.code, -3);
  EXPECT_EQ(record.osError, 13);
  EXPECT_STREQ(record.message, "open failed");
  EXPECT_STREQ(record.routine, "SlfFopen1");

  slosFillErr(&record, -8, 5, "fclose failed", "SlfFclose1");
  EXPECT_EQ(std::string(record.otherInfo), std::string(160, 'o'));
}

// The field is not cleared first: a short text leaves the bytes after its
// terminator as they were.
TEST(SlosErr, ShortTextLeavesTheRestOfTheFieldAsItWas) {
  slosErrRec record;
  slosFillErr(&record, -8, 0, "fstat failed", "slsfopen6");
  slosFillErr(&record, -8, 0, "abc", "ab");
  EXPECT_STREQ(record.message, "abc");
  EXPECT_EQ(std::string(record.message + 4), "t failed");
  EXPECT_EQ(std::string(record.routine + 3), "fopen6");
}

}  // namespace

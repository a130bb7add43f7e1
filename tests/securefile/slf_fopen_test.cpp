// The plain open, line reads and closes, and the error record's field limits.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <utility>

#include "tests/securefile/sf_util.h"

namespace {

using dorq_test::readFile;
using dorq_test::Wrapper;
using sf_test::plainOpen;
using sf_test::rec;

// Each field keeps at most its limit of characters, terminated in the field.
TEST(SlosErr, CutsEveryFieldAtItsLimit) {
  for (const size_t length : {0, 12, 13, 32, 33, 160, 161}) {
    const std::string text(length, 'x');
    slosErrRec record;
    memset(&record, 'y', sizeof record);
    slosFillErr(&record, -9, 0, text.c_str(), text.c_str());
    slosOtherInfo(&record, text.c_str());
    EXPECT_EQ(strlen(record.message), std::min(length, kSlosMessageMax));
    EXPECT_EQ(strlen(record.routine), std::min(length, kSlosRoutineMax));
    EXPECT_EQ(strlen(record.otherInfo), std::min(length, kSlosOtherInfoMax));
  }
}

class PlainOpen : public sf_test::FileTest {};

// Read access never truncates; write access truncates unless appending.
TEST_F(PlainOpen, ChoosesTheModeByAccessAndFlags) {
  const struct {
    int32_t access, flags, accmode;
    bool append, truncated;
  } cases[] = {
      {0, 0, O_RDONLY, false, false},    {0, 0x401, O_RDWR, false, false},
      {1, 0, O_WRONLY, false, true},     {1, 0x001, O_RDWR, false, true},
      {1, 0x400, O_WRONLY, true, false}, {1, 0x401, O_RDWR, true, false},
      {2, 0, O_RDWR, false, true},       {2, 0x400, O_RDWR, true, false},
  };
  for (const auto& c : cases) {
    dorq_test::writeFile(at("file"), "0123456789");
    auto opened = plainOpen("file", base().c_str(), c.access, c.flags);
    ASSERT_TRUE(opened.handle);
    const int fl = fcntl(fileno(opened.stream()), F_GETFL);
    EXPECT_EQ(std::tuple(fl & O_ACCMODE, (fl & O_APPEND) != 0, readFile(at("file")).empty()),
              std::tuple(c.accmode, c.append, c.truncated))
        << c.access << " " << c.flags;
  }
}

// Kinds 2 to 4 give the process's streams, whatever the name, through either
// open, and the close keeps them open.
TEST_F(PlainOpen, HandsOutTheStandardStreamsAndKeepsThemOpen) {
  const std::pair<int32_t, FILE*> kinds[] = {{2, stdin}, {3, stdout}, {4, stderr}};
  for (const auto& [kind, stream] : kinds) {
    for (const auto open : {SlfFopen, SlfFopen2}) {
      auto opened = sf_test::openWith(open, "../no/such", "/neither", 1, 0, kind);
      ASSERT_TRUE(opened.handle);
      EXPECT_EQ(opened.stream(), stream);
      opened.handle.reset();
      EXPECT_NE(fcntl(fileno(stream), F_GETFD), -1) << "kind " << kind;
    }
  }
}

TEST_F(PlainOpen, MapsTheErrnoOfAFailedOpen) {
  dorq_test::writeFile(at("file"), "x");
  const std::pair<int, int32_t> cases[] = {
      {ENOENT, -5}, {EACCES, -3}, {ENOSPC, -6}, {EPERM, -8}, {EIO, -8}};
  for (const auto& [error, code] : cases) {
    dorq_test::armFault(Wrapper::Fopen, 1, error);
    EXPECT_EQ(rec(plainOpen(at("file")).record), rec(code, error, "open failed", "SlfFopen1"));
  }
}

// A line longer than size - 1 bytes comes in pieces; end of file is -2 and
// writes nothing into the record.
TEST_F(PlainOpen, ReadsLinesInPiecesAndReportsEndOfFile) {
  dorq_test::writeFile(at("env.zan"), "abc\ndefghij\nxyz");
  auto opened = plainOpen(at("env.zan"));
  ASSERT_TRUE(opened.handle);
  slosErrRec record = sf_test::patternRecord();
  char buf[5];
  for (const char* piece : {"abc\n", "defg", "hij\n", "xyz"}) {
    ASSERT_EQ(SlfFgts(opened.handle.get(), buf, sizeof buf, &record, 0), 0);
    EXPECT_STREQ(buf, piece);
  }
  EXPECT_EQ(SlfFgts(opened.handle.get(), buf, sizeof buf, &record, 0), -2);
  EXPECT_TRUE(sf_test::untouched(record));
  // Reading a write-only stream is a bad handle.
  auto out = plainOpen(at("out"), nullptr, 1);
  EXPECT_EQ(SlfFgts(out.handle.get(), buf, sizeof buf, &record, 0), -1);
  EXPECT_EQ(rec(record), rec(-4, EBADF, "fgets failed", "SlfFgets1"));
}

// A failed close still releases the handle (the sanitizer sees any leak)
// and leaves no descriptor open.
TEST_F(PlainOpen, ReportsFailedClosesAndReleasesTheHandle) {
  auto full = plainOpen("/dev/full", nullptr, 1);
  ASSERT_GE(fputs("lost\n", full.stream()), 0);
  slosErrRec record = sf_test::patternRecord();
  EXPECT_EQ(SlfFclose(full.handle.release(), &record, 0), -1);
  EXPECT_EQ(rec(record), rec(-8, ENOSPC, "fclose failed", "SlfFclose1"));
  const int before = sf_test::openDescriptors();
  auto opened = plainOpen(at("file"), nullptr, 1);
  dorq_test::armFault(Wrapper::Fclose, 1, EBADF);
  EXPECT_EQ(SlfFclose(opened.handle.release(), &record, 0), -1);
  EXPECT_EQ(rec(record), rec(-4, EBADF, "fclose failed", "SlfFclose1"));
  EXPECT_EQ(sf_test::openDescriptors(), before);
}

}  // namespace

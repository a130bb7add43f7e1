// Line reads and closes: pieces, end of file, and every failure row.
#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "securefile/slf_file.h"
#include "tests/securefile/sf_util.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"

namespace {

using dorq_test::Wrapper;
using sf_test::Fill;
using sf_test::filledAs;

class ReadClose : public sf_test::FileTest {};

// A line longer than size - 1 bytes arrives in pieces; end of file gives -2
// and writes nothing into the record, however often it is asked.
TEST_F(ReadClose, ReadsLinesInPiecesAndReportsEndOfFile) {
  dorq_test::writeFile(at("env.zan"), "abc\ndefghij\nxyz");
  auto opened = sf_test::guardedOpen("env.zan", base().c_str());
  ASSERT_TRUE(opened.handle);
  slosErrRec record = sf_test::patternRecord();
  char buf[5];
  for (const char* piece : {"abc\n", "defg", "hij\n", "xyz"}) {
    ASSERT_EQ(SlfFgts(opened.handle.get(), buf, sizeof buf, &record, 0), 0);
    EXPECT_STREQ(buf, piece);
  }
  EXPECT_EQ(SlfFgts(opened.handle.get(), buf, sizeof buf, &record, 0), -2);
  EXPECT_EQ(SlfFgts(opened.handle.get(), buf, sizeof buf, &record, 0), -2);
  EXPECT_TRUE(sf_test::sameBytes(record, sf_test::patternRecord()));
}

TEST_F(ReadClose, ReportsFailedReads) {
  sf_test::makeDir(at("dir"), 0755);
  char buf[16];
  struct Case {
    std::string name;
    int32_t access;
    Fill fill;
  };
  // Reading a write-only stream is a bad handle; reading a directory is not.
  for (const Case& c : {Case{at("out"), 1, Fill{-4, EBADF, "fgets failed", "SlfFgets1"}},
                        Case{at("dir"), 0, Fill{-8, EISDIR, "fgets failed", "SlfFgets1"}}}) {
    auto opened = sf_test::plainOpen(c.name, nullptr, c.access);
    ASSERT_TRUE(opened.handle) << c.name;
    slosErrRec record = sf_test::patternRecord();
    EXPECT_EQ(SlfFgts(opened.handle.get(), buf, sizeof buf, &record, 0), -1);
    EXPECT_TRUE(filledAs(record, c.fill)) << c.name;
  }
  // A file-location handle is not a C stream and is refused unread.
  SlfFile layerHandle{nullptr, 1};
  slosErrRec record = sf_test::patternRecord();
  EXPECT_EQ(SlfFgts(&layerHandle, buf, sizeof buf, &record, 0), -1);
  EXPECT_TRUE(filledAs(record, Fill{-4, 0, "fgets failed", "SlfFgets1"}));
}

// Writing to /dev/full fails at the flush that the close does; the handle is
// released all the same (the sanitizer build would see it leak otherwise).
TEST_F(ReadClose, ReportsFailedClosesAndReleasesTheHandle) {
  auto full = sf_test::plainOpen("/dev/full", nullptr, 1);
  ASSERT_TRUE(full.handle);
  ASSERT_GE(fputs("lost\n", full.stream()), 0);
  slosErrRec record = sf_test::patternRecord();
  EXPECT_EQ(SlfFclose(full.handle.release(), &record, 0), -1);
  EXPECT_TRUE(filledAs(record, Fill{-8, ENOSPC, "fclose failed", "SlfFclose1"}));

  const int before = sf_test::openDescriptors();
  auto opened = sf_test::plainOpen(at("file"), nullptr, 1);
  ASSERT_TRUE(opened.handle);
  dorq_test::armFault(Wrapper::Fclose, 1, EBADF);
  record = sf_test::patternRecord();
  EXPECT_EQ(SlfFclose(opened.handle.release(), &record, 0), -1);
  EXPECT_TRUE(filledAs(record, Fill{-4, EBADF, "fclose failed", "SlfFclose1"}));
  EXPECT_EQ(sf_test::openDescriptors(), before);
}

}  // namespace

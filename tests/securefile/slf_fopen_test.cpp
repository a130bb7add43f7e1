// The plain open and the name builder: modes, standard streams, the name
// limit, failed opens by errno and memory shortage.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "securefile/slf_file.h"
#include "tests/securefile/sf_util.h"
#include "tests/support/fault_injection.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace {

using dorq_test::Wrapper;
using sf_test::Fill;
using sf_test::filledAs;
using sf_test::plainOpen;

constexpr Fill kBufferTooShort{-9, 0, "Buffer too short", "Slfgfn"};

struct NameCase {
  const char* name;
  const char* dir;
  const char* ext;
  size_t fitsIn;  // smallest buffer that takes the text
  const char* text;
};

// The text must fit with one spare byte beyond its terminator; the whole
// buffer is cleared either way and nothing past it is touched.
TEST(Slfgfn, BuildsNamesThatFitWithOneByteInReserve) {
  const NameCase cases[] = {
      {"env.zan", "/srv/inst", nullptr, 19, "/srv/inst/env.zan"},
      {"env.zan", "/srv/inst/", nullptr, 19, "/srv/inst/env.zan"},
      {"env.zan", "", nullptr, 9, "env.zan"},
      {"env.zan", nullptr, nullptr, 9, "env.zan"},
      {"env", "/d", "zan", 12, "/d/env.zan"},
      {"", nullptr, "", 3, "."},
  };
  for (const NameCase& c : cases) {
    for (const size_t size : {c.fitsIn - 1, c.fitsIn, c.fitsIn + 5}) {
      char buf[64];
      memset(buf, 'Z', sizeof buf);
      slosErrRec record = sf_test::patternRecord();
      const int result = Slfgfn(c.name, c.dir, c.ext, 0, buf, size, &record);
      if (size < c.fitsIn) {
        EXPECT_EQ(result, -1) << c.text << " in " << size;
        EXPECT_TRUE(filledAs(record, kBufferTooShort));
        EXPECT_EQ(buf[0], '\0');
      } else {
        EXPECT_EQ(result, 0) << c.text << " in " << size;
        EXPECT_STREQ(buf, c.text);
        EXPECT_TRUE(sf_test::sameBytes(record, sf_test::patternRecord()));
      }
      for (size_t i = strlen(buf); i < size; ++i) {
        EXPECT_EQ(buf[i], '\0') << "byte " << i;
      }
      EXPECT_EQ(buf[size], 'Z');
    }
  }
}

class PlainOpen : public sf_test::FileTest {};

struct ModeCase {
  int32_t access;
  int32_t flags;
  const char* mode;
};

// What fopen made of the mode, as the kernel and the file tell it.
std::string observedMode(FILE* stream, const std::string& path) {
  const int fl = fcntl(fileno(stream), F_GETFL);
  struct stat st {};
  stat(path.c_str(), &st);
  const bool append = (fl & O_APPEND) != 0;
  const bool truncated = st.st_size == 0;
  switch (fl & O_ACCMODE) {
    case O_RDONLY:
      return truncated ? "r?" : "r";
    case O_WRONLY:
      return append ? (truncated ? "a?" : "a") : (truncated ? "w" : "w?");
    default:
      return append ? (truncated ? "a+?" : "a+") : (truncated ? "w+" : "r+");
  }
}

TEST_F(PlainOpen, ChoosesTheModeByAccessAndFlags) {
  const ModeCase cases[] = {
      {0, 0, "r"},      {0, 0x400, "r"},  {0, 0x001, "r+"}, {0, 0x401, "r+"}, {1, 0, "w"},
      {1, 0x001, "w+"}, {1, 0x400, "a"},  {1, 0x401, "a+"}, {2, 0, "w+"},     {2, 0x001, "w+"},
      {2, 0x400, "a+"}, {2, 0x401, "a+"}, {-1, 0, "w+"},    {7, 0x400, "a+"},
  };
  for (const ModeCase& c : cases) {
    for (const auto open : {sf_test::plainOpen, sf_test::guardedOpen}) {
      dorq_test::writeFile(at("file"), "0123456789");
      auto opened = open("file", base().c_str(), c.access, c.flags, kSlfKindNamed, 0);
      ASSERT_TRUE(opened.handle) << c.mode;
      EXPECT_EQ(observedMode(opened.stream(), at("file")), c.mode)
          << "access " << c.access << " flags " << c.flags;
    }
  }
}

// The directory bits mean nothing to the plain open.
TEST_F(PlainOpen, IgnoresTheDirectoryCheckFlags) {
  sf_test::makeDir(at("wide"), 0777);
  sf_test::makeDir(at("real"), 0755);
  sf_test::makeLink(at("wide"), at("link"));
  dorq_test::writeFile(at("wide/f"), "x");
  auto opened = plainOpen("f", at("link").c_str(), 0, kSlfFlagResolveDir | kSlfFlagSecureDir);
  EXPECT_TRUE(opened.handle);
}

TEST_F(PlainOpen, HandsOutTheStandardStreamsAndKeepsThemOpenOnClose) {
  struct Case {
    int32_t kind;
    FILE* stream;
  };
  for (const Case c :
       {Case{kSlfKindStdin, stdin}, Case{kSlfKindStdout, stdout}, Case{kSlfKindStderr, stderr}}) {
    for (const auto open : {sf_test::plainOpen, sf_test::guardedOpen}) {
      auto opened = open("/no/such/file", "/neither", 1, 0, c.kind, 0);
      ASSERT_TRUE(opened.handle);
      EXPECT_EQ(opened.stream(), c.stream);
      EXPECT_EQ(opened.handle->isVfs, 0);
      slosErrRec record = sf_test::patternRecord();
      EXPECT_EQ(SlfFclose(opened.handle.release(), &record, 0), 0);
      EXPECT_NE(fcntl(fileno(c.stream), F_GETFD), -1) << "kind " << c.kind;
      EXPECT_TRUE(sf_test::sameBytes(record, sf_test::patternRecord()));
    }
  }
}

TEST_F(PlainOpen, TakesNamesOf4094CharactersAndRefuses4095) {
  const std::string dir = sf_test::makeDeepDir(base(), 3900);
  const std::string fits(4094 - dir.size() - 1, 'f');
  dorq_test::writeFile(dir + "/" + fits, "x");
  EXPECT_TRUE(plainOpen(fits, dir.c_str()).handle);
  EXPECT_TRUE(plainOpen(dir + "/" + fits).handle);
  for (const char* tail : {"g", "/g"}) {
    const auto opened = plainOpen(fits + tail, dir.c_str());
    EXPECT_FALSE(opened.handle);
    EXPECT_TRUE(filledAs(opened.record, Fill{-11, 0, "file name too long", "SlfFopen"}));
  }
}

TEST_F(PlainOpen, MapsTheErrnoOfAFailedOpen) {
  sf_test::makeDir(at("dir"), 0755);
  EXPECT_TRUE(
      filledAs(plainOpen(at("missing")).record, Fill{-5, ENOENT, "open failed", "SlfFopen1"}));
  EXPECT_TRUE(filledAs(plainOpen(at("dir"), nullptr, 1).record,
                       Fill{-8, EISDIR, "open failed", "SlfFopen1"}));
  struct Injected {
    int error;
    int32_t code;
  };
  for (const Injected i : {Injected{ENOSPC, -6}, Injected{EACCES, -3}, Injected{0, -8},
                           Injected{EPERM, -8}, Injected{EIO, -8}}) {
    dorq_test::writeFile(at("file"), "x");
    dorq_test::armFault(Wrapper::Fopen, 1, i.error);
    const auto opened = plainOpen(at("file"));
    EXPECT_FALSE(opened.handle);
    EXPECT_TRUE(filledAs(opened.record, Fill{i.code, i.error, "open failed", "SlfFopen1"}));
  }
}

TEST_F(PlainOpen, ReportsAccessDeniedToAnOrdinaryUser) {
  DORQ_REQUIRE_ROOT();
  dorq_test::writeFile(at("secret"), "x", 0600);
  const auto record = sf_test::inChild<slosErrRec>([this] {
    slosErrRec out{};
    if (setresuid(sf_test::kUserA, sf_test::kUserA, sf_test::kUserA) == 0) {
      (void)SlfFopen(at("secret").c_str(), nullptr, 0, 0, kSlfKindNamed, &out, 0);
    }
    return out;
  });
  ASSERT_TRUE(record.has_value());
  EXPECT_TRUE(filledAs(*record, Fill{-3, EACCES, "open failed", "SlfFopen1"}));
}

TEST_F(PlainOpen, ReportsNoMemoryForTheHandleAndClosesOnlyWhatItOpened) {
  const Fill noMemory{-8, ENOMEM, "memory allocation failed", "SlfFopen2"};
  dorq_test::writeFile(at("file"), "x");
  const int before = sf_test::openDescriptors();
  for (const auto open : {sf_test::plainOpen, sf_test::guardedOpen}) {
    dorq_test::resetFaults();
    dorq_test::armFault(Wrapper::Malloc, 1, ENOMEM);
    const auto opened = open(at("file"), nullptr, 0, 0, kSlfKindNamed, 0);
    EXPECT_FALSE(opened.handle);
    EXPECT_TRUE(filledAs(opened.record, noMemory));
    EXPECT_EQ(dorq_test::callCount(Wrapper::Fopen), 1U);
    EXPECT_EQ(dorq_test::callCount(Wrapper::Fclose), 1U);
    EXPECT_EQ(sf_test::openDescriptors(), before);
  }
  dorq_test::resetFaults();
  dorq_test::armFault(Wrapper::Malloc, 1, ENOMEM);
  const auto out = plainOpen("", nullptr, 0, 0, kSlfKindStdout);
  EXPECT_FALSE(out.handle);
  EXPECT_TRUE(filledAs(out.record, noMemory));
  EXPECT_NE(fcntl(STDOUT_FILENO, F_GETFD), -1);
  EXPECT_EQ(dorq_test::callCount(Wrapper::Fclose), 0U);
}

}  // namespace

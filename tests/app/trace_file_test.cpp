// The trace file sink: creation, appending, the refusal of anything that is
// not a regular file, the identity check across the open, and the effect of
// each outcome on the standard-output sink.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "app/dorq_trace.h"
#include "tests/app/trace_fixture.h"
#include "tests/support/fault_injection.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace trace_test {
namespace {

using dorq_test::callCount;
using dorq_test::readFile;
using dorq_test::Wrapper;
using dorq_test::writeFile;

constexpr int32_t kAllSinks = 0x0F;  // stderr, file, stdout, entry and exit
constexpr int kExpectedCreateFlags =
    O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
constexpr int kExpectedAppendFlags = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;

void traceOne(const char* message) {
  dorqTrace(8, "sdorq", 12, "fileTest", "%s", message);
}

// One line with the expected place and message, nothing else.
bool isOneLine(const std::string& text, const char* message) {
  std::vector<Line> lines;
  return parseLines(text, &lines) && lines.size() == 1 && lines[0].message == message &&
         lines[0].function == "fileTest";
}

mode_t modeOf(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

bool exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

class TraceFileSink : public TraceTest {};

// --- Creation ------------------------------------------------------------

struct CreateCase {
  const char* name;
  mode_t umaskValue;
  mode_t expectedPermissions;
};

// Failures name the case rather than dump its bytes.
void PrintTo(const CreateCase& c, std::ostream* os) {
  *os << c.name;
}

const CreateCase kCreateCases[] = {
    {"Umask022", 022, 0644},
    {"Umask077", 077, 0600},
    {"Umask000", 0, 0644},
};

class TraceFileCreate : public TraceTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(TraceFileCreate, FirstLineCreatesLaterLinesAppend) {
  umask(GetParam().umaskValue);
  dorqTraceLevel = kAllSinks;
  setTraceFile(tracePath_);
  const Sinks sinks = capture([] {
    traceOne("first");
    traceOne("second");
  });
  EXPECT_EQ(modeOf(tracePath_), S_IFREG | GetParam().expectedPermissions);
  std::vector<Line> lines;
  ASSERT_TRUE(parseLines(sinks.file, &lines)) << sinks.file;
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0].message, "first");
  EXPECT_EQ(lines[1].message, "second");
  EXPECT_EQ(sinks.out, sinks.file);
  EXPECT_EQ(sinks.err, sinks.file);
}

INSTANTIATE_TEST_SUITE_P(TraceModes, TraceFileCreate, ::testing::ValuesIn(kCreateCases),
                         [](const ::testing::TestParamInfo<CreateCase>& info) {
                           return std::string(info.param.name);
                         });

// An existing file keeps its content, owner bits and inode; lines go after
// what is there.
TEST_F(TraceFileSink, AppendsToAnExistingFileWithoutChangingIt) {
  writeFile(tracePath_, "old\n", 0600);
  struct stat before {};
  ASSERT_EQ(stat(tracePath_.c_str(), &before), 0);
  dorqTraceLevel = 0x0A;
  setTraceFile(tracePath_);
  traceOne("new");
  const std::string text = readFile(tracePath_);
  ASSERT_EQ(text.rfind("old\n", 0), 0U) << text;
  EXPECT_TRUE(isOneLine(text.substr(4), "new")) << text;
  struct stat after {};
  ASSERT_EQ(stat(tracePath_.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_ino, before.st_ino);
}

// Both opens are no-follow, non-blocking and close-on-exec (the job that the
// program executes must not inherit the trace file); creation is exclusive.
TEST_F(TraceFileSink, OpensWithTheSafeFlags) {
  std::vector<std::pair<int, int>> opens;
  dorq_test::setOpenHook(
      [&](const char*, int flags, int mode) { opens.emplace_back(flags, mode); });
  dorqTraceLevel = 0x0A;
  setTraceFile(tracePath_);
  traceOne("create");
  traceOne("append");
  ASSERT_EQ(opens.size(), 2U);
  EXPECT_EQ(opens[0].first, kExpectedCreateFlags);
  EXPECT_EQ(opens[0].second, 0644);
  EXPECT_EQ(opens[1].first, kExpectedAppendFlags);
}

// --- Refusals found by the status call -------------------------------------

// What lies at a path, through links, in one comparable text.
std::string describe(const std::string& path) {
  struct stat own {};
  if (lstat(path.c_str(), &own) != 0) {
    return "absent";
  }
  std::string text = std::to_string(own.st_mode) + ":" + std::to_string(own.st_ino);
  struct stat target {};
  if (stat(path.c_str(), &target) == 0 && S_ISREG(target.st_mode)) {
    text += ":" + readFile(path);
  }
  return text;
}

struct RefusalCase {
  const char* name;
  // Puts something at the trace path, or changes the path.
  void (*prepare)(const dorq_test::TempDir& dir, std::string* path);
  const char* watched;  // below the test directory: must not change either
  unsigned opens;       // calls of the open wrapper
};

// Failures name the case rather than dump its bytes.
void PrintTo(const RefusalCase& c, std::ostream* os) {
  *os << c.name;
}

const RefusalCase kRefusals[] = {
    {"SymlinkToRegularFile",
     [](const dorq_test::TempDir& dir, std::string* path) {
       writeFile(dir / "target", "keep\n");
       symlink((dir / "target").c_str(), path->c_str());
     },
     "target", 0},
    {"DanglingSymlink",  // the link's target is not created
     [](const dorq_test::TempDir& dir, std::string* path) {
       symlink((dir / "nowhere").c_str(), path->c_str());
     },
     "nowhere", 0},
    {"SymlinkToDirectory",
     [](const dorq_test::TempDir& dir, std::string* path) {
       mkdir((dir / "sub").c_str(), 0755);
       symlink((dir / "sub").c_str(), path->c_str());
     },
     "sub/t.trc", 0},
    {"Directory", [](const dorq_test::TempDir&, std::string* path) { mkdir(path->c_str(), 0755); },
     "t.trc/t.trc", 0},
    {"Fifo", [](const dorq_test::TempDir&, std::string* path) { mkfifo(path->c_str(), 0644); },
     "t.trc", 0},
    {"DeviceNull", [](const dorq_test::TempDir&, std::string* path) { *path = "/dev/null"; },
     "t.trc", 0},
    {"BelowARegularFile",  // the status call fails with ENOTDIR
     [](const dorq_test::TempDir& dir, std::string* path) {
       writeFile(dir / "plain", "plain\n");
       *path = dir / "plain/t.trc";
     },
     "plain", 0},
    {"MissingDirectory",  // missing, and the creating open fails
     [](const dorq_test::TempDir& dir, std::string* path) { *path = dir / "missing/t.trc"; },
     "missing", 1},
};

class TraceFileRefusal : public TraceTest, public ::testing::WithParamInterface<RefusalCase> {};

// The line reaches standard error (served first), but neither the path nor
// standard output.
TEST_P(TraceFileRefusal, LineSkipsTheFileAndStandardOutput) {
  const RefusalCase& c = GetParam();
  std::string path = tracePath_;
  c.prepare(dir_, &path);
  const std::string watched = dir_ / c.watched;
  const std::string pathBefore = describe(path);
  const std::string watchedBefore = describe(watched);
  dorqTraceLevel = kAllSinks;
  setTraceFile(path);
  const Sinks sinks = capture([] { traceOne("refused"); });
  EXPECT_TRUE(isOneLine(sinks.err, "refused")) << sinks.err;
  EXPECT_EQ(sinks.out, "");
  EXPECT_EQ(describe(path), pathBefore);
  EXPECT_EQ(describe(watched), watchedBefore);
  EXPECT_EQ(callCount(Wrapper::Open), c.opens);
}

INSTANTIATE_TEST_SUITE_P(TracePaths, TraceFileRefusal, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) {
                           return std::string(info.param.name);
                         });

// --- The path changes between the status call and the open ----------------

struct SwapCase {
  const char* name;
  bool existsBefore;  // a regular file "orig\n" with mode 0644 is at the path
  // Runs inside the open wrapper, just before the real open.
  void (*swap)(const dorq_test::TempDir& dir, const std::string& path);
  bool written;
};

// Failures name the case rather than dump its bytes.
void PrintTo(const SwapCase& c, std::ostream* os) {
  *os << c.name;
}

const SwapCase kSwaps[] = {
    {"Unchanged", true, [](const dorq_test::TempDir&, const std::string&) {}, true},
    {"ReplacedByAnotherFile", true,
     [](const dorq_test::TempDir& dir, const std::string& path) {
       writeFile(dir / "other", "other\n");
       rename((dir / "other").c_str(), path.c_str());
     },
     false},
    {"ReplacedBySymlink", true,
     [](const dorq_test::TempDir& dir, const std::string& path) {
       writeFile(dir / "target", "target\n");
       unlink(path.c_str());
       symlink((dir / "target").c_str(), path.c_str());
     },
     false},
    {"PermissionsChanged", true,
     [](const dorq_test::TempDir&, const std::string& path) { chmod(path.c_str(), 0600); }, false},
    {"ReplacedByFifoWithoutReader", true,  // the open must neither wait nor succeed
     [](const dorq_test::TempDir&, const std::string& path) {
       unlink(path.c_str());
       mkfifo(path.c_str(), 0644);
     },
     false},
    {"ReplacedByDirectory", true,
     [](const dorq_test::TempDir&, const std::string& path) {
       unlink(path.c_str());
       mkdir(path.c_str(), 0755);
     },
     false},
    {"CreatedByAnother", false,
     [](const dorq_test::TempDir&, const std::string& path) { writeFile(path, "raced\n"); }, false},
    {"SymlinkPlantedBeforeCreation", false,
     [](const dorq_test::TempDir& dir, const std::string& path) {
       symlink((dir / "planted").c_str(), path.c_str());
     },
     false},
};

class TraceFileSwap : public TraceTest, public ::testing::WithParamInterface<SwapCase> {};

TEST_P(TraceFileSwap, OnlyTheExaminedFileIsWritten) {
  const SwapCase& c = GetParam();
  if (c.existsBefore) {
    writeFile(tracePath_, "orig\n", 0644);
    link(tracePath_.c_str(), (dir_ / "orig").c_str());  // keeps the first file reachable
  }
  dorq_test::setOpenHook([&](const char* path, int, int) { c.swap(dir_, path); });
  dorqTraceLevel = kAllSinks;
  setTraceFile(tracePath_);
  const Sinks sinks = capture([] { traceOne("line"); });
  EXPECT_TRUE(isOneLine(sinks.err, "line")) << sinks.err;
  if (c.written) {
    EXPECT_TRUE(isOneLine(sinks.out, "line")) << sinks.out;
    const std::string text = readFile(tracePath_);
    ASSERT_EQ(text.rfind("orig\n", 0), 0U);
    EXPECT_TRUE(isOneLine(text.substr(5), "line")) << text;
    return;
  }
  EXPECT_EQ(sinks.out, "");
  // Nothing the path could have led to received the line.
  for (const char* name : {"t.trc", "orig", "other", "target", "planted"}) {
    const std::string text = describe(dir_ / name);
    EXPECT_EQ(text.find("SCHED"), std::string::npos) << name << ": " << text;
  }
  EXPECT_FALSE(exists(dir_ / "planted"));
}

INSTANTIATE_TEST_SUITE_P(TraceSwaps, TraceFileSwap, ::testing::ValuesIn(kSwaps),
                         [](const ::testing::TestParamInfo<SwapCase>& info) {
                           return std::string(info.param.name);
                         });

// --- A stream cannot be made for the descriptor ----------------------------

// The line misses the file only: standard output is still served, and the
// descriptor is closed (the fixture counts descriptors).
TEST_F(TraceFileSink, StreamFailureLeavesOnlyTheFileOut) {
  for (const bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "existing file" : "new file");
    unlink(tracePath_.c_str());
    if (existing) {
      writeFile(tracePath_, "old\n");
    }
    dorq_test::armFault(Wrapper::Fdopen, 1, ENOMEM);
    dorqTraceLevel = kAllSinks;
    setTraceFile(tracePath_);
    const Sinks sinks = capture([] { traceOne("lost"); });
    EXPECT_TRUE(isOneLine(sinks.err, "lost")) << sinks.err;
    EXPECT_TRUE(isOneLine(sinks.out, "lost")) << sinks.out;
    EXPECT_EQ(readFile(tracePath_), existing ? "old\n" : "");
    EXPECT_TRUE(exists(tracePath_));

    // The fault is spent: the next line reaches the file again.
    dorqTraceLevel = 0x0A;
    traceOne("kept");
    const std::string text = readFile(tracePath_);
    EXPECT_TRUE(isOneLine(text.substr(existing ? 4 : 0), "kept")) << text;
  }
}

// --- Lines written after the switch to the job's user -----------------------

struct UserCase {
  const char* name;
  bool existsBefore;
  mode_t mode;
  bool written;
};

// Failures name the case rather than dump its bytes.
void PrintTo(const UserCase& c, std::ostream* os) {
  *os << c.name;
}

const UserCase kUserCases[] = {
    {"RootFileReadOnlyForOthers", true, 0644, false},
    {"RootFileWritableForOthers", true, 0666, true},
    {"CannotCreateInRootDirectory", false, 0, false},
};

class TraceFileUser : public TraceTest, public ::testing::WithParamInterface<UserCase> {};

// The child of the execution step traces with the user's rights: a line
// reaches the file only when that user may open it for appending.
TEST_P(TraceFileUser, LineReachesTheFileOnlyWithTheUsersRights) {
  DORQ_REQUIRE_ROOT();
  constexpr uid_t kNobody = 65534;
  const UserCase& c = GetParam();
  if (c.existsBefore) {
    writeFile(tracePath_, "old\n", c.mode);
  }
  dorqTraceLevel = 0x0E;  // file and standard output
  setTraceFile(tracePath_);
  pid_t child = -1;
  int status = 0;
  const Sinks sinks = capture([&] {
    child = fork();
    if (child == 0) {
      if (setgid(kNobody) != 0 || setuid(kNobody) != 0) {
        _exit(2);
      }
      traceOne("as user");
      fflush(stdout);
      _exit(0);
    }
    waitpid(child, &status, 0);
  });
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  if (c.written) {
    std::vector<Line> lines;
    ASSERT_TRUE(parseLines(sinks.file.substr(4), &lines)) << sinks.file;
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].pid, static_cast<long>(child));
    EXPECT_EQ(sinks.out, sinks.file.substr(4));
  } else {
    EXPECT_EQ(sinks.file, c.existsBefore ? "old\n" : "");
    EXPECT_EQ(exists(tracePath_), c.existsBefore);
    EXPECT_EQ(sinks.out, "");
  }
}

INSTANTIATE_TEST_SUITE_P(TraceRights, TraceFileUser, ::testing::ValuesIn(kUserCases),
                         [](const ::testing::TestParamInfo<UserCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace trace_test

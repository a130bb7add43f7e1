// The trace facility: the level test, the line in each sink, the trace file
// and its refusals, wrapper faults, and the per-process trace file's name.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "app/dorq_trace.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

constexpr int32_t kAllSinks = 0x0F;  // stderr, file, stdout; entry and exit
constexpr int32_t kFileOnly = 0x0A;
constexpr char kMessage[] = "msg|-7|abc|%";

void traceLine(unsigned mask = 8) {
  dorqTrace(mask, "sdorq", 12, "fn", "%s|%d|%.*s|%%", "msg", -7, 3, "abcdef");
}

// Exactly one line of this process with the header and the whole message.
bool isLine(const std::string& text) {
  static const std::regex line(
      R"(SCHED \d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d (\d+) sdorq:12\(fn\)(.*)\n)");
  std::smatch m;
  return std::regex_match(text, m, line) && m[1] == std::to_string(getpid()) && m[2] == kMessage;
}

// The text of every regular file below dir (links are not followed).
std::string filesBelow(const std::string& dir) {
  std::string text;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.symlink_status().type() == std::filesystem::file_type::regular) {
      text += readFile(entry.path());
    }
  }
  return text;
}

int openDescriptors() {
  const auto it = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<int>(std::distance(begin(it), end(it)));
}

struct Sinks {
  std::string err, out, file;
};

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetFaults();
    umask(022);
    descriptors_ = openDescriptors();
    alarm(60);  // an open that waits for a reader fails the test instead of hanging
  }
  void TearDown() override {
    alarm(0);
    resetFaults();
    dorqTraceLevel = 0;
    setTraceFile("");
    EXPECT_EQ(openDescriptors(), descriptors_) << "a descriptor leaked";
  }
  static void setTraceFile(const std::string& path) {
    memset(dorqTraceFile, 0, sizeof dorqTraceFile);
    path.copy(dorqTraceFile, sizeof dorqTraceFile - 1);
    dorqTraceFilel = static_cast<int64_t>(path.size());
  }
  // Runs work at the given level with the standard streams in memory files.
  Sinks capture(
      int32_t level, const std::string& file,
      const std::function<void()>& work = [] { traceLine(); }) {
    dorqTraceLevel = level;
    setTraceFile(file);
    fflush(nullptr);
    int memory[2], saved[2];
    for (int i = 0; i < 2; ++i) {
      memory[i] = memfd_create("sink", MFD_CLOEXEC);
      saved[i] = dup(i + 1);
      dup2(memory[i], i + 1);
    }
    work();
    fflush(nullptr);
    std::string text[2];
    for (int i = 0; i < 2; ++i) {
      dup2(saved[i], i + 1);
      close(saved[i]);
      text[i] = readFile("/proc/self/fd/" + std::to_string(memory[i]));
      close(memory[i]);
    }
    struct stat status {};
    const bool regular = stat(path_.c_str(), &status) == 0 && S_ISREG(status.st_mode);
    return {text[1], text[0], regular ? readFile(path_) : ""};
  }

  TempDir dir_;
  const std::string path_ = dir_ / "t.trc";

 private:
  int descriptors_ = 0;
};

// Sinks: 1 standard error, 2 the file, 4 standard output.
TEST_F(TraceTest, LevelTestSelectsTheSinks) {
  // clang-format off
  const struct { int32_t level; unsigned mask; bool withFile; unsigned sinks; } cases[] = {
      {0, 8, true, 0},     {0, kTraceAlways, true, 0}, {1, 1, false, 1},  // mask 1 always passes
      {1, 8, false, 0},    {9, 8, false, 1},           {9, 16, false, 0},
      {9, 24, false, 1},   {9, kTraceAlways, false, 1}, {0x3A, 32, true, 2},
      {0x3A, 64, true, 0}, {0x3A, 6, true, 0},  // sink bits of the mask are no category
      {0x44, kTraceAlways, false, 4}, {0x2F, 32, true, 7}, {-1, 16, true, 7},
      {0x0E, 8, false, 4},  // the file bit without a path
  };
  // clang-format on
  for (const auto& c : cases) {
    resetFaults();
    unlink(path_.c_str());
    const Sinks s = capture(c.level, c.withFile ? path_ : "", [&] { traceLine(c.mask); });
    const std::string name = std::to_string(c.level) + "/" + std::to_string(c.mask);
    EXPECT_EQ(isLine(s.err), (c.sinks & 1) != 0) << name << ": " << s.err;
    EXPECT_EQ(isLine(s.file), (c.sinks & 2) != 0) << name << ": " << s.file;
    EXPECT_EQ(isLine(s.out), (c.sinks & 4) != 0) << name << ": " << s.out;
    EXPECT_EQ(s.err + s.file + s.out == "", c.sinks == 0) << name;
    // Only a line bound for the file touches the file system.
    EXPECT_EQ(callCount(Wrapper::Open), (c.sinks & 2) != 0 ? 1U : 0U) << name;
  }
}

// One time stamp, in local time, for all three sinks; each sink formats the
// whole message from the start.
TEST_F(TraceTest, SameLineWithLocalTimeInEverySink) {
  setenv("TZ", "XYZ-5:30", 1);  // half an hour off universal time; no other test reads it
  tzset();
  const time_t before = time(nullptr);
  const Sinks s = capture(kAllSinks, path_);
  const time_t after = time(nullptr);
  const auto minute = [](time_t t) {
    tm local{};
    char text[16];
    return std::string(text, strftime(text, sizeof text, "%m-%d %H:%M", localtime_r(&t, &local)));
  };
  ASSERT_TRUE(isLine(s.err)) << s.err;
  EXPECT_TRUE(s.err.substr(6, 11) == minute(before) || s.err.substr(6, 11) == minute(after))
      << s.err;
  EXPECT_EQ(s.file, s.err);
  EXPECT_EQ(s.out, s.err);
}

// Text from outside cannot forge or break a line: control bytes, DEL and the
// backslash are escaped, and an over-long message is cut so that the line,
// its newline included, fits 8192 bytes; each sink gets it in one write.
TEST_F(TraceTest, MessageIsEscapedAndCut) {
  const auto lineFor = [&](const std::string& text) {
    unlink(path_.c_str());
    return capture(kAllSinks, path_,
                   [&] { dorqTrace(8, "sdorq", 12, "fn", "<%s>", text.c_str()); });
  };
  const std::pair<std::string, std::string> cases[] = {
      {"a\nSCHED forged\r\t\\z", "<a\\nSCHED forged\\r\\t\\\\z>"},
      {"\x01\x1b[2J\x7f\xc3\xa9", "<\\x01\\x1b[2J\\x7f\xc3\xa9>"},
  };
  for (const auto& [text, want] : cases) {
    const Sinks s = lineFor(text);
    EXPECT_EQ(s.err.substr(s.err.find("(fn)") + 4), want + "\n");
    EXPECT_EQ(s.file, s.err);
    EXPECT_EQ(s.out, s.err);
  }
  for (const char fill : {'x', '\n'}) {  // a cut never splits an escape
    const Sinks s = lineFor(std::string(20000, fill));
    EXPECT_LE(s.err.size(), 8192U);
    EXPECT_GE(s.err.size(), 8192U - 3);
    EXPECT_EQ(s.err.find('\n'), s.err.size() - 1);
    EXPECT_EQ(s.err.substr(s.err.size() - 3), fill == 'x' ? "xx\n" : "\\n\n");
    EXPECT_TRUE(s.file == s.err);
  }
}

// Created no-follow, exclusive, non-blocking and close-on-exec (the job must
// not inherit it), then appended to.
TEST_F(TraceTest, FileIsCreatedThenAppendedTo) {
  std::vector<int> flags;
  setOpenHook([&](const char*, int f, int mode) { flags.push_back(f | (mode << 20)); });
  const Sinks s = capture(kFileOnly, path_, [] {
    traceLine();
    traceLine();
  });
  const int safe = O_WRONLY | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
  EXPECT_EQ(flags, (std::vector<int>{safe | O_CREAT | O_EXCL | (0644 << 20), safe}));
  const size_t half = s.file.size() / 2;
  EXPECT_TRUE(isLine(s.file.substr(0, half)) && isLine(s.file.substr(half))) << s.file;
  struct stat status {};
  ASSERT_EQ(lstat(path_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode, S_IFREG | 0644);
}

// Anything but a regular file is refused, and so is a path changed between the
// status call and the open (by the open hook): the line reaches standard error
// only, no file at or behind the path receives it, and errno is left alone.
TEST_F(TraceTest, FileRefusals) {
  const std::string d = dir_.path(), target = dir_ / "target", other = dir_ / "other";
  std::string p;  // the path of the case at hand; "" in the table: t.trc
  const std::function<void()> none = [] {};
  const auto orig = [&] { writeFile(p, "orig\n"); };
  const auto plantLink = [&] { (void)!symlink(target.c_str(), p.c_str()); };
  // clang-format off
  const struct { const char *name, *path; std::function<void()> before, swap; } cases[] = {
      {"LinkToFile", "", [&] { writeFile(target, "keep\n"); plantLink(); }, none},
      {"DanglingLink", "", plantLink, none},
      {"Directory", "", [&] { mkdir(p.c_str(), 0755); }, none},
      {"Fifo", "", [&] { mkfifo(p.c_str(), 0644); }, none},
      {"Device", "/dev/null", none, none},
      {"MissingDirectory", "missing/t.trc", none, none},
      {"SwappedFile", "", orig, [&] { writeFile(other, "o\n"); rename(other.c_str(), p.c_str()); }},
      {"SwappedLink", "", orig, [&] { writeFile(target, "t\n"); unlink(p.c_str()); plantLink(); }},
      {"Chmod", "", orig, [&] { chmod(p.c_str(), 0600); }},
      // The open must neither wait for a reader nor succeed.
      {"SwappedFifo", "", orig, [&] { unlink(p.c_str()); mkfifo(p.c_str(), 0644); }},
      {"CreatedMeanwhile", "", none, [&] { writeFile(p, "raced\n"); }},
      {"LinkPlanted", "", none, plantLink},
      // Only the caller's own single-linked file is written.
      {"HardLinked", "", [&] { orig(); (void)!link(p.c_str(), (d + "/o").c_str()); }, none},
      {"OtherOwner", "", [&] { orig(); (void)!chown(p.c_str(), 23003, 23003); }, none},
  };
  // clang-format on
  for (const auto& c : cases) {
    removeTree(d);
    mkdir(d.c_str(), 0755);
    p = c.path[0] == '/' ? c.path : dir_ / (*c.path != 0 ? c.path : "t.trc");
    c.before();
    setOpenHook([&](const char*, int, int) { c.swap(); });
    int error = 0;
    const Sinks s = capture(kAllSinks, p, [&] {
      errno = EDOM;
      traceLine();
      error = errno;
    });
    resetFaults();
    EXPECT_EQ(error, EDOM) << c.name;
    EXPECT_TRUE(isLine(s.err)) << c.name;
    EXPECT_EQ(s.out, "") << c.name;
    EXPECT_EQ(filesBelow(d).find("SCHED"), std::string::npos) << c.name;
  }
}

// Each wrapper call of a line fails in turn, for a new and an existing file: no
// open leaves the line out of the file and standard output, no stream out of
// the file only, a failed close changes nothing; no descriptor stays open.
TEST_F(TraceTest, EveryWrapperCallFailsInTurn) {
  for (const bool existing : {false, true}) {
    const std::string old = existing ? "old\n" : "";
    const auto prepare = [&] {
      existing ? writeFile(path_, old) : void(unlink(path_.c_str()));
      resetFaults();
    };
    for (const WrapperCase& w : kWrappers) {
      prepare();
      (void)capture(kAllSinks, path_);
      const unsigned calls = callCount(w.wrapper);
      for (unsigned k = 1; k <= calls; ++k) {
        prepare();
        armFault(w.wrapper, k, w.error);
        const Sinks s = capture(kAllSinks, path_);
        const std::string name = std::string(w.name) + (existing ? " existing" : " new");
        const bool opened = w.wrapper != Wrapper::Open;
        const bool written = opened && w.wrapper != Wrapper::Fdopen;
        EXPECT_TRUE(isLine(s.err)) << name;
        EXPECT_EQ(isLine(s.out), opened) << name;
        EXPECT_EQ(access(path_.c_str(), F_OK) == 0, existing || opened) << name;
        EXPECT_TRUE(s.file.substr(0, old.size()) == old &&
                    (written ? isLine(s.file.substr(old.size())) : s.file == old))
            << name << ": " << s.file;
      }
    }
  }
}

// The part after the last "/" or the last-but-one underscore of the last part
// becomes "dorq_<pid>.trc".
TEST(TraceNameTest, ReplacesTheLastPart) {
  const std::pair<std::string, std::string> cases[] = {
      {"/var/trace/run_worker_12345.trc", "/var/trace/run_dorq_4242.trc"},
      {"/tmp/a_b", "/tmp/dorq_4242.trc"},
      {"trace", "dorq_4242.trc"},
      {"a__b", "a_dorq_4242.trc"},
      {"/var/trace/", "/var/trace/dorq_4242.trc"},
      {"/a_b_c/d", "/a_b_c/dorq_4242.trc"},
      {"", "dorq_4242.trc"},
  };
  for (const auto& [value, expected] : cases) {
    std::vector<char> out(kDorqTraceFileBuffer, 'Z');
    EXPECT_EQ(dorqGenTraceFileName(value.c_str(), int(value.size()), out.data(), int(out.size()),
                                   4242, '/'),
              int(expected.size()))
        << value;
    EXPECT_STREQ(out.data(), expected.c_str()) << value;
  }
}

// A name may take all but 26 bytes of the output; one more is refused and the
// output left as it was. The sanitizer build catches a write past the end.
TEST(TraceNameTest, LengthLimit) {
  for (const int size : {26, 27, static_cast<int>(kDorqTraceFileBuffer)}) {
    const std::string fits(static_cast<size_t>(size - 26), 'n');
    std::vector<char> out(static_cast<size_t>(size), 'Z');
    EXPECT_EQ(dorqGenTraceFileName(fits.data(), size - 26, out.data(), size, INT32_MIN, '/'), 20);
    EXPECT_STREQ(out.data(), "dorq_-2147483648.trc");
    std::vector<char> untouched(static_cast<size_t>(size), 'Z');
    EXPECT_EQ(dorqGenTraceFileName(fits.data(), size - 25, untouched.data(), size, 1, '/'), 0);
    EXPECT_EQ(std::string(untouched.begin(), untouched.end()), std::string(untouched.size(), 'Z'));
  }
  char out[64] = "Z";
  EXPECT_EQ(dorqGenTraceFileName("/tmp/x", -1, out, sizeof out, 1, '/'), 0);
  EXPECT_STREQ(out, "Z");
}

}  // namespace
}  // namespace dorq_test

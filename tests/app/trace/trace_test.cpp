// The trace writer in process, for what tests/e2e/trace.bats cannot do: a file changed just
// before the open or with a second link, every wrapper call failed in turn, an over-long line.
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <numeric>
#include <regex>

#include "app/trace/dorq_trace.h"
#include "tests/support/fault_injection.h"
#include "tests/support/support.h"

namespace dorq_test {
namespace {

// The traced value holds every control byte, 1 to 31 and 127: each comes out as one escape.
void traceLine() {
  std::string controls(32, '\x7f');
  std::iota(controls.begin(), controls.end() - 1, '\x01');
  errno = EDOM;
  dorqTrace(8, "sdorq", 12, "fn", "%s|%d|%.*s|%%", controls.c_str(), -7, 3, "abcdef");
  EXPECT_EQ(errno, EDOM);
}
bool isLine(const std::string& text) {
  static const std::regex line(R"(SCHED \d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d )" +
                               std::to_string(getpid()) +
                               R"( sdorq:12\(fn\)(\\([nrt]|x[01][0-9a-f]|x7f)){32}\|-7\|abc\|%\n)");
  return std::regex_match(text, line);
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetFaults();
    alarm(60);              // an open that waits for a reader fails the test instead of hanging
    dorqTraceLevel = 0x0F;  // standard error, the file, standard output; entry and exit
    dorqTraceFilel = snprintf(dorqTraceFile, sizeof dorqTraceFile, "%s", path_.c_str());
  }
  // What work wrote to standard error and output; no descriptor may stay open.
  std::pair<std::string, std::string> capture(const std::function<void()>& work = traceLine) {
    const int descriptors = openDescriptors();
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    work();
    std::pair<std::string, std::string> sinks{testing::internal::GetCapturedStderr(),
                                              testing::internal::GetCapturedStdout()};
    EXPECT_EQ(openDescriptors(), descriptors) << "a descriptor leaked";
    return sinks;
  }
  TempDir dir_;
  const std::string path_ = dir_ / "t.trc";
};

// A path changed after its status call gets no line, at it or behind it: standard error only.
TEST_F(TraceTest, FileRefusals) {
  const std::string d = dir_.path(), p = path_, target = dir_ / "target", other = dir_ / "other";
  const auto orig = [&] { writeFile(p, "orig\n"); };
  const auto plantLink = [&] { (void)!symlink(target.c_str(), p.c_str()); };
  // clang-format off
  const struct { const char* name; std::function<void()> before, swap; } cases[] = {
      {"SwappedFile", orig, [&] { writeFile(other, "o\n"); rename(other.c_str(), p.c_str()); }},
      {"SwappedLink", orig, [&] { writeFile(target, "t\n"); unlink(p.c_str()); plantLink(); }},
      {"Chmod", orig, [&] { chmod(p.c_str(), 0600); }},
      // The open must neither wait for a reader nor succeed.
      {"SwappedFifo", orig, [&] { unlink(p.c_str()); mkfifo(p.c_str(), 0644); }},
      {"CreatedMeanwhile", [] {}, [&] { writeFile(p, "raced\n"); }},
      {"LinkPlanted", [] {}, plantLink},
      // Only a single-linked file is written (another user's: tests/e2e/attacks.bats).
      {"HardLinked", [&] { orig(); (void)!link(p.c_str(), (d + "/o").c_str()); }, [] {}},
  };
  // clang-format on
  for (const auto& c : cases) {
    removeTree(d);
    mkdir(d.c_str(), 0755);
    c.before();
    setOpenHook([&](const char*) { c.swap(); });
    const auto [err, out] = capture();
    resetFaults();
    std::string below;
    for (const auto& e : std::filesystem::recursive_directory_iterator(d)) {
      below += e.is_regular_file() ? readFile(e.path()) : "";
    }
    EXPECT_TRUE(isLine(err) && out.empty() && below.find("SCHED") == std::string::npos)
        << c.name << ": " << out;
  }
}

// The line, its newline included, fits 8192 bytes, cut never inside an escape; each sink gets it.
TEST_F(TraceTest, LongLineIsCutWhole) {
  for (const char fill : {'x', '\n'}) {
    unlink(path_.c_str());
    const std::string text(20000, fill);
    const auto [err, out] = capture([&] { dorqTrace(8, "sdorq", 12, "fn", "%s", text.c_str()); });
    EXPECT_TRUE(err.size() <= 8192 && err.size() >= 8192 - 3) << err.size();
    EXPECT_EQ(err.find('\n'), err.size() - 1);
    EXPECT_EQ(err.substr(err.size() - 3), fill == 'x' ? "xx\n" : "\\n\n");
    EXPECT_TRUE(readFile(path_) == err && out == err);
  }
}

// Call 0 fails none and counts the calls; without the open, file and standard output miss the line.
TEST_F(TraceTest, EveryWrapperCallFailsInTurn) {
  for (const std::string old : {"", "old\n"}) {
    for (const WrapperCase& w : kWrappers) {
      for (unsigned k = 0, calls = 0; k <= calls; ++k) {
        old.empty() ? void(unlink(path_.c_str())) : writeFile(path_, old);
        resetFaults();
        armFault(w.wrapper, k, w.error);
        const auto [err, out] = capture();
        const std::string file = readFile(path_);
        SCOPED_TRACE(w.name + (" call " + std::to_string(k)) + (old.empty() ? "" : " old"));
        calls = k == 0 ? callCount(w.wrapper) : calls;
        const bool opened = k == 0 || w.wrapper != Wrapper::Open;
        EXPECT_TRUE(isLine(err));
        EXPECT_EQ(isLine(out), opened) << out;
        EXPECT_EQ(access(path_.c_str(), F_OK) == 0, !old.empty() || opened);
        EXPECT_EQ(file.substr(0, old.size()), old);
        EXPECT_TRUE(opened ? isLine(file.substr(old.size())) : file == old) << file;
      }
    }
  }
}

}  // namespace
}  // namespace dorq_test

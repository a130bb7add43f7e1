// The trace file in process, for what the end-to-end tests cannot do to it
// (tests/e2e/trace.bats has the levels, sinks, header, name, creation and the
// refusal of what is no regular file): a file changed between the
// examination and the open, a file that is not the caller's own, every
// wrapper call failed in turn, and the cut of an over-long line.
#include <sys/mman.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <regex>

#include "app/dorq_trace.h"
#include "tests/support/fault_injection.h"
#include "tests/support/support.h"

namespace dorq_test {
namespace {

constexpr char kMessage[] = "msg|-7|abc|%";

void traceLine() {
  dorqTrace(8, "sdorq", 12, "fn", "%s|%d|%.*s|%%", "msg", -7, 3, "abcdef");
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
  // Runs work with every sink on, the standard streams in memory files.
  Sinks capture(const std::function<void()>& work = traceLine) {
    dorqTraceLevel = 0x0F;  // standard error, the file, standard output; entry and exit
    setTraceFile(path_);
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

// A path changed between the status call and the open (by the open hook) is
// refused: the line reaches standard error only, no file at or behind the
// path receives it, and errno is left alone.
TEST_F(TraceTest, FileRefusals) {
  const std::string d = dir_.path(), p = path_, target = dir_ / "target", other = dir_ / "other";
  const std::function<void()> none = [] {};
  const auto orig = [&] { writeFile(p, "orig\n"); };
  const auto plantLink = [&] { (void)!symlink(target.c_str(), p.c_str()); };
  // clang-format off
  const struct { const char* name; std::function<void()> before, swap; } cases[] = {
      {"SwappedFile", orig, [&] { writeFile(other, "o\n"); rename(other.c_str(), p.c_str()); }},
      {"SwappedLink", orig, [&] { writeFile(target, "t\n"); unlink(p.c_str()); plantLink(); }},
      {"Chmod", orig, [&] { chmod(p.c_str(), 0600); }},
      // The open must neither wait for a reader nor succeed.
      {"SwappedFifo", orig, [&] { unlink(p.c_str()); mkfifo(p.c_str(), 0644); }},
      {"CreatedMeanwhile", none, [&] { writeFile(p, "raced\n"); }},
      {"LinkPlanted", none, plantLink},
      // Only the caller's own single-linked file is written.
      {"HardLinked", [&] { orig(); (void)!link(p.c_str(), (d + "/o").c_str()); }, none},
      {"OtherOwner", [&] { orig(); (void)!chown(p.c_str(), 23003, 23003); }, none},
  };
  // clang-format on
  for (const auto& c : cases) {
    removeTree(d);
    mkdir(d.c_str(), 0755);
    c.before();
    setOpenHook([&](const char*) { c.swap(); });
    int error = 0;
    const Sinks s = capture([&] {
      errno = EDOM;
      traceLine();
      error = errno;
    });
    resetFaults();
    EXPECT_TRUE(error == EDOM && isLine(s.err) && s.out.empty()) << c.name;
    EXPECT_EQ(filesBelow(d).find("SCHED"), std::string::npos) << c.name;
  }
}

// An over-long message is cut so that the line, its newline included, fits
// 8192 bytes, never inside an escape, and each sink gets the same line.
TEST_F(TraceTest, LongLineIsCutWhole) {
  for (const char fill : {'x', '\n'}) {
    unlink(path_.c_str());
    const std::string text(20000, fill);
    const Sinks s = capture([&] { dorqTrace(8, "sdorq", 12, "fn", "%s", text.c_str()); });
    EXPECT_TRUE(s.err.size() <= 8192 && s.err.size() >= 8192 - 3) << s.err.size();
    EXPECT_EQ(s.err.find('\n'), s.err.size() - 1);
    EXPECT_EQ(s.err.substr(s.err.size() - 3), fill == 'x' ? "xx\n" : "\\n\n");
    EXPECT_TRUE(s.file == s.err && s.out == s.err);
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
      (void)capture();
      const unsigned calls = callCount(w.wrapper);
      for (unsigned k = 1; k <= calls; ++k) {
        prepare();
        armFault(w.wrapper, k, w.error);
        const Sinks s = capture();
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

}  // namespace
}  // namespace dorq_test

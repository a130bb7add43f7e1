// Hostile requests: every input a caller controls (the request lines, the
// option words, the trace and child pid paths) pushed to its limits and filled
// with the bytes other programs have tripped over. Each case is checked on all
// three channels and for what it leaves behind: no process of a test user, no
// zombie, no descriptor of the test process, no file nobody asked for.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <thread>

#include "tests/app/e2e_fixture.h"
#include "tests/support/private_ns.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

using std::chrono::milliseconds;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif
#else
constexpr bool kSanitizedBuild = false;
#endif

// The three channels of one outcome.
struct Want {
  std::string out;  // exact standard output
  int frame;        // the only text on standard error is this frame; -1: empty
  int exitCode;
};

// Outcomes dorq writes the same way whatever the cause.
Want intakeFailure(int code) {
  return {"", code, code};
}
Want childFailure(int code) {
  return {std::string("\x0a\0", 2), code, code};
}
Want startedWith(int exitCode) {
  return {std::string(1, '\0'), -1, exitCode};
}

bool matches(const ProcessResult& r, const Want& want) {
  const std::string err = want.frame < 0 ? std::string() : statusFrame(want.frame);
  return r.exitedWith(want.exitCode) && r.out == want.out && r.err == err;
}

// The test's own mount namespace: every process this test started, and every
// process those started, shares it, while the tests that run beside this one
// live in namespaces of their own.
std::string mountNamespaceOf(pid_t pid) {
  char target[256] = {};
  const std::string link = "/proc/" + std::to_string(pid) + "/ns/mnt";
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

std::vector<ProcessEntry> ownProcessesOfTestUsers() {
  const std::string own = mountNamespaceOf(getpid());
  std::vector<ProcessEntry> found;
  for (const uid_t uid : {kSchedulerUser.uid, kJobUser.uid, kOtherUser.uid}) {
    for (const ProcessEntry& p : processesOfUid(uid)) {
      if (mountNamespaceOf(p.pid) == own) {
        found.push_back(p);
      }
    }
  }
  return found;
}

std::set<std::string> filesBelow(const std::string& dir) {
  namespace fs = std::filesystem;
  std::set<std::string> names;
  std::error_code error;
  fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, error);
  for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    names.insert(it->path().string());
  }
  return names;
}

// A hook for the runner: in the forked child, just before dorq is executed,
// it knows dorq's pid and so the name of dorq's own trace file,
// <dir>/dorq_<pid>.trc, and puts something in its place. It runs as the
// scheduler user, in a copy of a threaded process: it formats the name into
// storage prepared beforehand and makes system calls only.
class TraceFileTrap {
 public:
  enum class Kind { SymlinkTo, Directory, Fifo };

  TraceFileTrap(const std::string& dir, Kind kind, const std::string& target = "")
      : kind_(kind), prefix_(dir + "/dorq_"), target_(target) {}

  std::function<void()> hook() const {
    return [this] { place(); };
  }

 private:
  void place() const {
    char path[4096];
    if (prefix_.size() + 32 > sizeof path) {
      return;
    }
    size_t length = 0;
    for (const char c : prefix_) {
      path[length++] = c;
    }
    char digits[16];
    size_t count = 0;
    for (auto pid = static_cast<unsigned>(getpid()); pid != 0; pid /= 10) {
      digits[count++] = static_cast<char>('0' + pid % 10);
    }
    while (count > 0) {
      path[length++] = digits[--count];
    }
    for (const char c : {'.', 't', 'r', 'c', '\0'}) {
      path[length++] = c;
    }
    switch (kind_) {
      case Kind::SymlinkTo:
        (void)symlink(target_.c_str(), path);
        break;
      case Kind::Directory:
        (void)mkdir(path, 0755);
        break;
      case Kind::Fifo:
        (void)mkfifo(path, 0644);
        break;
    }
  }

  Kind kind_;
  std::string prefix_;
  std::string target_;
};

class HostileTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    // Most cases are not about the password: one that PAM accepts at once
    // keeps them fast. Only the "su" service is asked then.
    sandbox_->writeService("su", kPamPermitService);
    // A directory of the scheduler's own, neither sticky nor world-writable,
    // so that the kernel's link and FIFO protections for sticky directories
    // stay out of the way and the program's own checks are what is tested.
    traceDir_ = reports_ + "/own";
    ASSERT_EQ(mkdir(traceDir_.c_str(), 0755), 0);
    ASSERT_EQ(chown(traceDir_.c_str(), kSchedulerUser.uid, kSchedulerUser.group.gid), 0);
    // Root's file outside the scheduler's reach, which a link may point at.
    victim_ = sandbox_->root() + "/victim";
    writeFile(victim_, "untouched by dorq\n", 0644);
  }

  struct Snapshot {
    std::vector<int> fds;
    std::set<std::string> files;
  };
  Snapshot snapshot() const { return {openFdNumbers(), filesBelow(sandbox_->root())}; }

  // Nothing is left behind but the files the case expects (which are then
  // removed, so the next case starts from the same state).
  void expectNothingLeftBehind(const Snapshot& before, const std::set<std::string>& expected,
                               const std::string& what) {
    EXPECT_TRUE(waitFor([] { return ownProcessesOfTestUsers().empty(); }, milliseconds(5000)))
        << what << ": " << ownProcessesOfTestUsers().size() << " processes still run";
    EXPECT_TRUE(zombieChildrenOf(getpid()).empty()) << what;
    EXPECT_EQ(openFdNumbers(), before.fds) << what;
    std::set<std::string> after = filesBelow(sandbox_->root());
    for (const std::string& name : expected) {
      EXPECT_EQ(after.erase(name), 1U) << what << ": expected " << name;
      removeTree(name);
    }
    std::vector<std::string> stray;
    std::set_difference(after.begin(), after.end(), before.files.begin(), before.files.end(),
                        std::back_inserter(stray));
    EXPECT_TRUE(stray.empty()) << what << ": stray " << (stray.empty() ? "" : stray.front());
    for (const std::string& name : stray) {
      removeTree(name);
    }
  }

  // Runs one case: its ProcessSpec, one of the outcomes it may have, the files it
  // may leave ("<pid>" in a name stands for dorq's pid), and a look at the
  // result and those files before they are removed.
  using Inspect = std::function<void(const ProcessResult&)>;
  ProcessResult runCase(const ProcessSpec& spec, const std::vector<Want>& anyOf,
                        const std::string& what, const std::set<std::string>& expected = {},
                        const Inspect& inspect = {}) {
    const Snapshot before = snapshot();
    ProcessResult r = runProcess(spec);
    EXPECT_TRUE(r.started()) << what << ": " << r.startError;
    bool ok = false;
    for (const Want& want : anyOf) {
      ok |= matches(r, want);
    }
    EXPECT_TRUE(ok) << what << ": " << printable(describe(r).substr(0, 400));
    std::set<std::string> files = expected;
    if (r.pid > 0) {
      // A name that only the run's pid can make.
      std::set<std::string> named;
      for (const std::string& name : files) {
        named.insert(std::regex_replace(name, std::regex("<pid>"), std::to_string(r.pid)));
      }
      files = named;
    }
    if (inspect) {
      inspect(r);
    }
    expectNothingLeftBehind(before, files, what);
    return r;
  }
  ProcessResult runCase(const std::string& input, const Want& want, const std::string& what,
                        const std::vector<std::string>& words = {},
                        const std::set<std::string>& expected = {}) {
    return runCase(dorqSpec(input, words), {want}, what, expected);
  }

  std::string traceDir_;
  std::string victim_;
};

std::string joinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

// ---- Request lines ----

// Each line of a request at one character below, at and above its limit,
// followed by the rest of the request, and at the limit also as the last
// bytes of the input. The program reads its input one byte at a time, so
// every case costs a long line's worth of reads; the cases left out add
// nothing: above the limit the program stops reading at the 131069th
// character and never sees what follows, and below it a line at the end of
// the input is accepted like one at the limit.
enum RequestLine { kUser, kPassword, kFlags, kPath, kCount, kArgument };

class LineLimitTest : public HostileTest, public ::testing::WithParamInterface<RequestLine> {};

TEST_P(LineLimitTest, OneBelowAtAndAboveTheLimit) {
  const RequestLine line = GetParam();
  const std::vector<std::string> base = {
      kJobUser.name, kJobUser.password, "2", "/bin/true", "1", "x"};
  // A line of exactly n characters that still means what the line is for.
  const auto longLine = [line](size_t n) {
    switch (line) {
      case kUser:
        return std::string(n, 'u');
      case kPassword:
        return std::string(n, 'p');
      case kFlags:
        return std::string(n - 1, '0') + "2";
      case kPath:  // a path far beyond the system's limit, so never executable
        return std::string(n - 8, '/') + "bin/true";
      case kCount:
        return std::string(n - 1, '0') + "1";
      case kArgument:
        break;
    }
    return std::string(n, 'a');
  };
  struct Case {
    size_t length;
    bool newline;
  };
  for (const Case c :
       {Case{131067, true}, Case{131068, true}, Case{131068, false}, Case{131069, true}}) {
    std::string input =
        joinLines(std::vector<std::string>(base.begin(), base.begin() + line)) + longLine(c.length);
    if (c.newline) {
      input += "\n" + joinLines(std::vector<std::string>(base.begin() + line + 1, base.end()));
    }
    Want want = startedWith(0);
    if (c.length > 131068) {
      want = intakeFailure(4);
    } else if (!c.newline && line != kArgument) {
      want = intakeFailure(3);  // the line is accepted, the next one is missing
    } else if (line == kUser) {
      want = childFailure(7);  // no such user
    } else if (line == kPath) {
      want = childFailure(10);  // the name is too long to execute
    }
    runCase(input, want,
            std::to_string(c.length) + (c.newline ? " characters and newline" : " at the end"));
  }
}

std::string lineName(const ::testing::TestParamInfo<RequestLine>& info) {
  constexpr const char* kNames[] = {"User", "Password", "Flags", "Path", "Count", "Argument"};
  return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(EveryLine, LineLimitTest,
                         ::testing::Values(kUser, kPassword, kFlags, kPath, kCount, kArgument),
                         lineName);

// NUL bytes end a line for every later use; carriage returns stay part of
// it. The "su" service denies permission and the real password check runs in
// the "dorq" service, so a wrong password shows at once as 21 instead of 7
// after the pause.
TEST_F(HostileTest, NulAndCarriageReturnInEveryLine) {
  sandbox_->writeService("su", pamDebugService("perm_denied"));
  const std::string pw = kJobUser.password;
  const std::string nul(1, '\0');
  // The job prints its user id: the one of dqjob, not of the name after NUL.
  const std::string jobUid = std::to_string(kJobUser.uid) + "\n";
  struct Case {
    std::vector<std::string> lines;
    Want want;
    std::string what;
  };
  const std::vector<Case> cases = {
      // Flags 0: no status word, which could come before or after the output.
      {{"dqjob" + nul + "dqother", pw, "0", "/usr/bin/id", "1", "-u"},
       {jobUid, -1, 0},
       "user cut at NUL"},
      {{"dqjob", pw + nul + "tail", "2", "/bin/true", "0"}, startedWith(0), "password cut at NUL"},
      {{"dqjob", nul + pw, "2", "/bin/true", "0"}, {"\x15", 21, 21}, "password empty at NUL"},
      {{"dqjob", pw + "\r", "2", "/bin/true", "0"}, {"\x15", 21, 21}, "password keeps CR"},
      {{"dqjob", "\r" + pw, "2", "/bin/true", "0"}, {"\x15", 21, 21}, "password keeps leading CR"},
      {{"dqjob", pw, "2" + nul + "4", "/bin/true", "0"}, startedWith(0), "flags cut at NUL"},
      {{"dqjob", pw, nul + "2", "/bin/true", "0"}, {"", -1, 0}, "flags empty at NUL"},
      {{"dqjob", pw, "2\r", "/bin/true", "0"}, startedWith(0), "flags with trailing CR"},
      {{"dqjob", pw, "\r2", "/bin/true", "0"}, startedWith(0), "flags with leading CR"},
      {{"dqjob", pw, "2", "/bin/true" + nul + "/x", "0"}, startedWith(0), "path cut at NUL"},
      {{"dqjob", pw, "2", nul + "/bin/true", "0"}, childFailure(10), "path empty at NUL"},
      {{"dqjob", pw, "2", "/bin/true\r", "0"}, childFailure(10), "path keeps CR"},
      {{"dqjob", pw, "2", "kill" + nul + "x", "0"}, {"\x0e\x0e", 14, 14}, "kill cut at NUL"},
      {{"dqjob", pw, "2", "kill\r", "0"}, childFailure(10), "kill with CR is a command"},
      {{"dqjob", pw, "2", "/bin/sh", "2" + nul + "9", "-c", "exit 6"},
       startedWith(6),
       "count cut at NUL"},
      {{"dqjob", pw, "2", "/bin/sh", "\r2", "-c", "exit 6"}, startedWith(6), "count after CR"},
      {{"dqjob", pw, "2", "/bin/sh", "2\r", "-c", "exit 6"}, startedWith(6), "count before CR"},
      {{"dqjob", pw, "2", "/bin/true", nul + "2", "-c", "exit 6"},
       startedWith(0),
       "count empty at NUL (the job inherits the rest)"},
      {{"dqjob", pw, "2", "/bin/sh", "2", "-c", "exit 6" + nul + "; exit 9"},
       startedWith(6),
       "argument cut at NUL"},
      // Three characters, the middle one the carriage return.
      {{"dqjob", pw, "2", "/bin/sh", "3", "-c", "case \"$0\" in a?b) exit 4;; esac", "a\rb"},
       startedWith(4),
       "argument keeps CR"},
  };
  for (const Case& c : cases) {
    runCase(joinLines(c.lines), c.want, c.what);
  }
}

// A password as long as a line may be reaches the real password check whole
// ("su" denies permission so that the check in "dorq" answers at once: 21),
// and no trace line holds any of it.
TEST_F(HostileTest, PasswordAtTheLineLimitIsCheckedAndNeverTraced) {
  sandbox_->writeService("su", pamDebugService("perm_denied"));
  std::string password;
  for (size_t i = 0; password.size() < 131068; ++i) {
    password += "pw" + std::to_string(i) + ";";
  }
  password.resize(131068);
  const std::string trace = traceDir_ + "/dorq_<pid>.trc";
  runCase(dorqSpec(requestRecord(kJobUser.name, password, 2, "/bin/true"),
                   {"-trclvl", "0x7FFFFFFA", "-trcfile", traceDir_ + "/t"}),
          {{"\x15", 21, 21}}, "131068-byte password", {trace}, [&](const ProcessResult& r) {
            const std::string text =
                readFile(traceDir_ + "/dorq_" + std::to_string(r.pid) + ".trc");
            EXPECT_NE(text.find("pam_authenticate returned status 7"), std::string::npos);
            EXPECT_EQ(text.find("pw1;pw2;"), std::string::npos);
          });
}

// The count line: the vector has count + 2 slots, computed in 32 bits.
TEST_F(HostileTest, ArgumentCounts) {
  const std::string head = std::string(kJobUser.name) + "\n" + kJobUser.password + "\n2\n";
  const std::string report = probeReportPath("argc-1");
  struct Case {
    std::string input;
    std::vector<Want> anyOf;
    std::string what;
  };
  // A huge vector either cannot be had (2) or the input ends first (3).
  const std::vector<Want> hugeVector = {intakeFailure(2), intakeFailure(3)};
  const std::vector<Case> cases = {
      {head + "/bin/true\n-3\n", hugeVector, "-3"},
      {head + "/bin/true\n-2\nx\n", {intakeFailure(2)}, "-2"},
      {head + "/bin/true\n0\n", {startedWith(0)}, "0"},
      {head + "/bin/true\n4294967297\nx\n", {startedWith(0)}, "2^32+1 wraps to 1"},
      {head + "/bin/true\nabc\n", {startedWith(0)}, "text is 0"},
      {head + "/bin/true\n+1\nx\n", {startedWith(0)}, "+1"},
      {head + "/bin/true\n 1x\nx\n", {startedWith(0)}, "blank, 1, text"},
      {head + "/bin/true\n3\nx\ny\n", {intakeFailure(3)}, "more than the lines given"},
      {head + "/bin/true\n1\n", {intakeFailure(3)}, "no argument line"},
      {"", {intakeFailure(3)}, "empty input"},
      {std::string(kJobUser.name) + "\nJob-Pa", {intakeFailure(3)}, "stops in the password"},
      {head + "/bin/true\n1\nlast line without newline", {startedWith(0)}, "stops in the last"},
  };
  for (const Case& c : cases) {
    runCase(dorqSpec(c.input), c.anyOf, "count " + c.what);
  }
  // A vector of 16 GiB: the kernel lends the address space and the input
  // ends first (3), or it does not (2). The sanitizer's allocator would make
  // that memory real, so the sanitized build leaves this case out.
  if (!kSanitizedBuild) {
    runCase(dorqSpec(head + "/bin/true\n2147483647\nx\n"), hugeVector, "count 2^31-1");
  }
  // Count -1: the terminator takes slot 0, so the command runs with an empty
  // vector, which the kernel may turn into one empty string.
  ProcessSpec spec = dorqSpec(head + jobProbePath() + "\n-1\n");
  spec.env.push_back("DORQ_PROBE_REPORT=" + report);
  runCase(spec, {startedWith(0)}, "count -1", {report}, [&](const ProcessResult&) {
    const auto parsed = readProbeReport(report);
    ASSERT_TRUE(parsed.has_value());
    const std::vector<std::string> argv = parsed->argv();
    EXPECT_TRUE(argv.empty() || argv == std::vector<std::string>{""}) << argv.size();
  });
}

// A user name is only ever looked up, never cut, trimmed or used in a path:
// names with separators of paths and of the account files, and bytes that
// look like line ends, name nobody (the child reports 7) and make no file.
TEST_F(HostileTest, UserNamesWithPathAndRecordSeparators) {
  const std::vector<std::string> names = {
      "dqjob/x", "../dqjob", "/dqjob", "dqjob:x:0:0::/:/bin/sh",  ":dqjob", "dqjob\r", "dqjob\v",
      "dqjob\f", "\rdqjob",  "dqjob ", std::string("\0dqjob", 6),
  };
  for (const std::string& name : names) {
    runCase(requestRecord(name, "any", 2, "/bin/true"), childFailure(7),
            "user \"" + printable(name) + "\"");
  }
}

// The command path is searched and executed as the user, after the identity
// switch: what the user may not execute fails with 10, a name without a slash
// is looked up along the caller's PATH, and a file without an interpreter
// line is run by the shell, as execvp does.
TEST_F(HostileTest, CommandPaths) {
  const std::string tools = reports_ + "/tools";
  ASSERT_EQ(mkdir(tools.c_str(), 0755), 0);
  writeFile(tools + "/dqtool", "#!/bin/sh\nexit 6\n", 0755);
  writeFile(tools + "/dqplain", "exit 7\n", 0755);
  writeFile(tools + "/dqdata", "exit 8\n", 0644);
  writeFile(tools + "/dqrootonly", "#!/bin/sh\nexit 9\n", 0700);
  struct Case {
    std::string path;
    Want want;
  };
  const std::vector<Case> cases = {
      {reports_, childFailure(10)},               // a directory
      {tools + "/dqdata", childFailure(10)},      // not executable
      {tools + "/missing", childFailure(10)},     // missing
      {tools + "/dqrootonly", childFailure(10)},  // only root may execute it
      {"dqtool", startedWith(6)},                 // found through PATH only
      {"dq-no-such-tool", childFailure(10)},      // not found through PATH
      {"tools/dqtool", startedWith(6)},           // relative to the working directory
      {tools + "/dqplain", startedWith(7)},       // no interpreter line: the shell
      {tools + "/dqtool/", childFailure(10)},     // a file named as a directory
      {"", childFailure(10)},                     // empty
  };
  for (const Case& c : cases) {
    ProcessSpec spec = dorqSpec(jobRequest(2, c.path));
    spec.env = {"PATH=" + tools + ":/usr/bin:/bin"};
    runCase(spec, {c.want}, "path \"" + c.path + "\"");
  }
}

// ---- Option words ----

TEST_F(HostileTest, OptionWordsRepeatedUnknownOrLast) {
  const std::string request = jobRequest(2, "/bin/true");
  const std::string first = traceDir_ + "/first.pid";
  const std::string second = traceDir_ + "/second.pid";
  const std::string dirA = reports_ + "/a";
  const std::string dirB = reports_ + "/b";
  ASSERT_EQ(mkdir(dirA.c_str(), 0777), 0);
  ASSERT_EQ(mkdir(dirB.c_str(), 0777), 0);
  struct Case {
    std::vector<std::string> words;
    Want want;
    std::set<std::string> files;  // "<pid>" stands for dorq's pid
  };
  const std::vector<Case> cases = {
      // The last of a repeated option wins.
      {{"-childpidfile", first, "-childpidfile", second}, startedWith(0), {second}},
      {{"-trcfile", dirA + "/t", "-trclvl", "0x0A", "-trclvl", "8"},
       startedWith(0),
       {dirA + "/dorq_<pid>.trc"}},
      {{"-trcfile", dirA + "/t", "-trcfile", dirB + "/t", "-trclvl", "0x0A"},
       startedWith(0),
       {dirB + "/dorq_<pid>.trc"}},
      // Words that only look like options are skipped.
      {{"-TRCLVL", "9", "--trclvl", "9", "-trclvl9", "-x", "-", ""}, startedWith(0), {}},
      // An option word taken as the value of the one before it.
      {{"-trclvl", "-trcfile", "x"}, startedWith(0), {}},
      {{"-childpidfile", "-trclvl", "9"}, startedWith(0), {reports_ + "/-trclvl"}},
      // An empty trace path: the file lands in the working directory.
      {{"-trcfile", "", "-trclvl", "0x0A"}, startedWith(0), {reports_ + "/dorq_<pid>.trc"}},
      // An option word with no value after it, or a file level with no file.
      {{"-trcfile"}, intakeFailure(20), {}},
      {{"-trclvl"}, intakeFailure(20), {}},
      {{"-childpidfile"}, intakeFailure(20), {}},
      {{"-trclvl", "8", "-trcfile"}, intakeFailure(20), {}},
      {{"-trcfile", reports_ + "/t", "-childpidfile"}, intakeFailure(20), {}},
      {{"-trclvl", "2"}, intakeFailure(20), {}},
      {{"-trclvl", "0x22", "-trcfile", std::string(4071, 'd')}, intakeFailure(20), {}},
  };
  for (const Case& c : cases) {
    std::string what;
    for (const std::string& word : c.words) {
      what += (what.empty() ? "" : " ") + word.substr(0, 40);
    }
    runCase(dorqSpec(request, c.words), {c.want}, what, c.files, [&](const ProcessResult& r) {
      for (const std::string& file : c.files) {
        if (file.find("<pid>") == std::string::npos) {
          continue;
        }
        // Only the option notes before the level lost its sinks, or every
        // line of the run.
        const std::string text =
            readFile(std::regex_replace(file, std::regex("<pid>"), std::to_string(r.pid)));
        EXPECT_EQ(text.find("Tracing set to level 8"), std::string::npos) << what;
        EXPECT_NE(text.find("Tracing set to level 10"), std::string::npos) << what;
      }
    });
  }
  EXPECT_FALSE(std::filesystem::exists(first));
}

// The option values are the caller's text, and the trace writes them as they
// are: a newline in a -childpidfile value makes a line of the caller's own
// in root's trace file. A trace file is a log for its caller, nothing more.
TEST_F(HostileTest, TraceLinesCarryTheCallersText) {
  const std::string forged = "SCHED 01-01 00:00:00.000 1 dorq:1(forged)from the caller";
  const std::string value = reports_ + "/pid\n" + forged;
  runCase(dorqSpec(jobRequest(2, "/bin/true"),
                   {"-trclvl", "0x2A", "-trcfile", traceDir_ + "/t", "-childpidfile", value}),
          {startedWith(0)}, "newline in -childpidfile", {traceDir_ + "/dorq_<pid>.trc", value},
          [&](const ProcessResult& r) {
            const std::string text =
                readFile(traceDir_ + "/dorq_" + std::to_string(r.pid) + ".trc");
            EXPECT_NE(text.find("\n" + forged + "\n"), std::string::npos) << text;
          });
}

// ---- Trace paths ----

// The trace file of a run is <dir>/dorq_<pid>.trc. The caller can put
// anything at that name before dorq starts; dorq writes only to a regular
// file there, and never through a link. The level sends lines to the trace
// file and to standard output: a line refused by the file is not written to
// standard output either, so standard output holds the status word alone.
TEST_F(HostileTest, TracePathsThatAreNotRegularFiles) {
  const std::string absent = sandbox_->root() + "/absent";
  const std::string request = jobRequest(2, "/bin/true");
  const std::vector<std::string> words = {"-trcfile", traceDir_ + "/t", "-trclvl", "0x3E"};
  struct Case {
    TraceFileTrap::Kind kind;
    std::string target;
    std::string what;
  };
  const std::vector<Case> cases = {
      {TraceFileTrap::Kind::SymlinkTo, victim_, "link to root's file"},
      {TraceFileTrap::Kind::SymlinkTo, absent, "dangling link"},
      {TraceFileTrap::Kind::SymlinkTo, "/dev/null", "link to /dev/null"},
      {TraceFileTrap::Kind::SymlinkTo, traceDir_, "link to a directory"},
      {TraceFileTrap::Kind::Directory, "", "directory"},
      {TraceFileTrap::Kind::Fifo, "", "FIFO without a reader"},
  };
  for (const Case& c : cases) {
    TraceFileTrap trap(traceDir_, c.kind, c.target);
    ProcessSpec spec = dorqSpec(request, words);
    spec.beforeExec = trap.hook();
    const ProcessResult r =
        runCase(spec, {startedWith(0)}, c.what, {traceDir_ + "/dorq_<pid>.trc"});
    EXPECT_EQ(readFile(victim_), "untouched by dorq\n") << c.what;
    EXPECT_FALSE(std::filesystem::exists(absent)) << c.what;
    EXPECT_EQ(filesBelow(traceDir_), std::set<std::string>{}) << c.what;
  }
}

// "-trcfile /dev/null" does not name /dev/null: the file is dorq_<pid>.trc in
// /dev, created by root. A private /dev stands in for the real one.
TEST_F(HostileTest, TraceFileNamedInDevIsANewFileBesideTheDevice) {
  const std::string keep = sandbox_->root() + "/devnull";
  writeFile(keep, "");
  ASSERT_TRUE(bindMount("/dev/null", keep));
  ASSERT_TRUE(mountTmpfs("/dev"));
  chmod("/dev", 0755);
  writeFile("/dev/null", "");
  ASSERT_TRUE(bindMount(keep, "/dev/null"));
  const ProcessResult r = runProcess(
      dorqSpec(jobRequest(2, "/bin/true"), {"-trcfile", "/dev/null", "-trclvl", "0x0A"}));
  const std::string made = "/dev/dorq_" + std::to_string(r.pid) + ".trc";
  struct stat st {};
  const bool haveFile = lstat(made.c_str(), &st) == 0;
  struct stat null {};
  const bool nullIsDevice = stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode);
  const std::string text = readFile(made);
  umount2("/dev/null", MNT_DETACH);
  umount2("/dev", MNT_DETACH);
  umount2(keep.c_str(), MNT_DETACH);

  EXPECT_TRUE(matches(r, startedWith(0))) << describe(r);
  ASSERT_TRUE(haveFile);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_uid, 0U);
  EXPECT_TRUE(nullIsDevice);
  EXPECT_NE(text.find("dorqParseArgs"), std::string::npos);
}

// The guarded trace open checks the type and the identity of the file, not
// how many names it has: a hard link to a file of root's, put in place of
// the trace file, is appended to. Unprivileged users cannot make such a link
// where the kernel protects hard links (fs.protected_hardlinks = 1); the
// test, as root, makes it to show what the open itself does not catch.
TEST_F(HostileTest, HardLinkedTraceFileIsNotCaughtByTheOpen) {
  const std::string target = sandbox_->root() + "/root-file";
  writeFile(target, "root's\n", 0644);
  // dorq reads its request from a pipe the test fills only once the link is
  // in place; the lines of the parsing step come before.
  int request[2];
  ASSERT_EQ(pipe2(request, O_CLOEXEC), 0);
  ProcessSpec spec = dorqSpec("", {"-trcfile", traceDir_ + "/t", "-trclvl", "0x0A"});
  spec.inherited.push_back({0, request[0]});
  Process run;
  ASSERT_TRUE(run.start(spec)) << run.startError();
  close(request[0]);
  const std::string path = traceDir_ + "/dorq_" + std::to_string(run.pid()) + ".trc";
  const bool parsed = waitFor([&] {
    return readFile(path).find("(dorqParseArgs)Exit with status 0") != std::string::npos;
  });
  const bool linked =
      parsed && unlink(path.c_str()) == 0 && link(target.c_str(), path.c_str()) == 0;
  const std::string input = jobRequest(2, "/bin/true");
  EXPECT_EQ(write(request[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(request[1]);
  const ProcessResult r = run.wait();
  EXPECT_TRUE(matches(r, startedWith(0))) << describe(r);
  ASSERT_TRUE(linked);
  const std::string text = readFile(target);
  EXPECT_EQ(text.rfind("root's\n", 0), 0U);
  EXPECT_NE(text.find("(sdorqAuthenticateUser)Enter"), std::string::npos) << text;
}

// While dorq writes thousands of trace lines as root, a thread replaces the
// trace file again and again, atomically, by a fresh regular file and by a
// link to root's file. Whatever the timing, the link's target is never
// written: a link is refused by lstat or by the no-follow open, and a file
// swapped between the two is caught by the identity comparison.
TEST_F(HostileTest, TraceFileSwappedForALinkWhileLinesAreWritten) {
  std::vector<std::string> words = {"-trcfile", traceDir_ + "/t"};
  for (int i = 0; i < 3000; ++i) {
    words.push_back("-trclvl");
    words.push_back("0x7FFFFFF2");  // every category, the trace file only
  }
  const struct stat victimBefore = [&] {
    struct stat st {};
    stat(victim_.c_str(), &st);
    return st;
  }();
  const Snapshot before = snapshot();
  auto run = std::make_unique<Process>();
  ASSERT_TRUE(run->start(dorqSpec(jobRequest(2, "/bin/true"), words))) << run->startError();
  const std::string path = traceDir_ + "/dorq_" + std::to_string(run->pid()) + ".trc";
  const std::string freshFile = traceDir_ + "/fresh";
  const std::string freshLink = traceDir_ + "/link";
  std::atomic<bool> done{false};
  std::atomic<int> swaps{0};
  std::thread swapper([&] {
    while (!done.load()) {
      const int fd = open(freshFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd >= 0) {
        close(fd);
      }
      rename(freshFile.c_str(), path.c_str());
      symlink(victim_.c_str(), freshLink.c_str());
      rename(freshLink.c_str(), path.c_str());
      swaps.fetch_add(1);
    }
  });
  const ProcessResult r = run->wait();
  run.reset();
  done.store(true);
  swapper.join();
  EXPECT_TRUE(matches(r, startedWith(0))) << describe(r);
  EXPECT_GT(swaps.load(), 10);
  EXPECT_EQ(readFile(victim_), "untouched by dorq\n");
  struct stat victimAfter {};
  ASSERT_EQ(stat(victim_.c_str(), &victimAfter), 0);
  EXPECT_EQ(victimAfter.st_size, victimBefore.st_size);
  EXPECT_EQ(victimAfter.st_mtim.tv_sec, victimBefore.st_mtim.tv_sec);
  EXPECT_EQ(victimAfter.st_mtim.tv_nsec, victimBefore.st_mtim.tv_nsec);
  expectNothingLeftBehind(before, {path}, "swapped trace file");
}

// ---- Child pid record ----

// A number names a descriptor dorq was started with; anything else is a file
// that dorq, still root, opens without following a final link.
TEST_F(HostileTest, ChildPidValues) {
  const std::string absent = sandbox_->root() + "/absent";
  const std::string other = sandbox_->root() + "/elsewhere";
  ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
  ASSERT_EQ(symlink(victim_.c_str(), (traceDir_ + "/to-victim").c_str()), 0);
  ASSERT_EQ(symlink(absent.c_str(), (traceDir_ + "/dangling").c_str()), 0);
  ASSERT_EQ(symlink(other.c_str(), (traceDir_ + "/to-dir").c_str()), 0);
  ASSERT_EQ(mkdir((traceDir_ + "/dir").c_str(), 0755), 0);
  struct Case {
    std::string value;
    std::set<std::string> files;
    std::string what;
  };
  const std::vector<Case> cases = {
      {"9", {}, "a descriptor dorq was not started with"},
      {"-1", {}, "a negative number"},
      {"-2147483648", {}, "the lowest int"},
      {traceDir_ + "/to-victim", {}, "a link to root's file"},
      {traceDir_ + "/dangling", {}, "a dangling link"},
      {traceDir_ + "/dir", {}, "a directory"},
      // Links in the directory part are followed: the caller chooses where
      // the file goes, with root's rights (see docs/SECURITY.md).
      {traceDir_ + "/to-dir/pid", {other + "/pid"}, "a link in the directory part"},
  };
  for (const Case& c : cases) {
    runCase(jobRequest(2, "/bin/true"), startedWith(0), c.what, {"-childpidfile", c.value},
            c.files);
    EXPECT_EQ(readFile(victim_), "untouched by dorq\n") << c.what;
    EXPECT_FALSE(std::filesystem::exists(absent)) << c.what;
  }
}

// The record is written with root's rights: a file the caller may not write
// is overwritten from its start. This is why only a caller trusted as root
// may run dorq (docs/SECURITY.md).
TEST_F(HostileTest, ChildPidFileIsWrittenWithRootsRights) {
  const std::string file = sandbox_->root() + "/root-only";
  writeFile(file, "XXXXXXXXXXXXXXXXXXXX\n", 0600);
  const ProcessResult r = runDorq(jobRequest(2, "/bin/true"), {"-childpidfile", file});
  EXPECT_TRUE(matches(r, startedWith(0))) << describe(r);
  EXPECT_TRUE(std::regex_match(readFile(file), std::regex("[0-9]+X*\n")));
  EXPECT_EQ(readFile(file).size(), 21U);
}

// A FIFO that nobody reads must not hold the run: waiting in the open of the
// record, dorq would neither reap its job nor notice that its caller has gone.
// The record is only written to a regular file, opened without blocking, so
// a FIFO with a reader gets nothing either.
TEST_F(HostileTest, ChildPidFifoWithoutReaderDoesNotHoldTheRun) {
  const std::string fifo = traceDir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
  ProcessSpec spec = dorqSpec(jobRequest(2, "/bin/true"), {"-childpidfile", fifo});
  spec.timeout = milliseconds(5000);
  const ProcessResult r = runProcess(spec);
  EXPECT_FALSE(r.timedOut);
  EXPECT_TRUE(matches(r, startedWith(0))) << describe(r);

  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  const ProcessResult read = runProcess(spec);
  EXPECT_TRUE(matches(read, startedWith(0))) << describe(read);
  char buffer[64];
  EXPECT_LE(::read(reader, buffer, sizeof buffer), 0) << "the FIFO got the record";
  close(reader);
}

}  // namespace
}  // namespace dorq_test

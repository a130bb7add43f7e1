// 200 requests through the real set-user-ID binary, 8 at a time: successes
// in both waiting modes, authentication failures, kill requests, and runs
// whose caller is killed. Afterwards nothing of them is left: no process of a
// test user, no zombie, no descriptor of the test process; every run's trace
// file, appended to by dorq as root and by its child as the job user at the
// same time, holds whole lines only; and a sample of jobs saw exactly the
// descriptors, signal state and environment dorq was started with.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "tests/app/e2e_fixture.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

using std::chrono::milliseconds;

constexpr size_t kParallelRuns = 8;

// The load runs its jobs as an account of its own, added to the sandbox: the
// tests that run beside this one count the processes of the sandbox's job
// user, and must not count these.
constexpr SandboxUser kLoadUser{"dqload", 23040, {"dqload", 23040}, "Load-Pass 1414"};
constexpr int kPipeFd = 6;  // a descriptor some sampled jobs inherit

// The test's own mount namespace: every process this test started shares it,
// while tests that run beside this one live in namespaces of their own.
std::string mountNamespaceOf(pid_t pid) {
  char target[256] = {};
  const std::string link = "/proc/" + std::to_string(pid) + "/ns/mnt";
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

size_t ownProcessesOfTestUsers() {
  const std::string own = mountNamespaceOf(getpid());
  size_t found = 0;
  for (const uid_t uid : {kSchedulerUser.uid, kJobUser.uid, kOtherUser.uid, kLoadUser.uid}) {
    for (const ProcessEntry& p : processesOfUid(uid)) {
      found += mountNamespaceOf(p.pid) == own ? 1 : 0;
    }
  }
  return found;
}

// Every line is a whole trace line: its header, then the message, then "\n".
std::string firstBrokenLine(const std::string& text) {
  static const std::regex kHeader(
      R"(SCHED \d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d \d+ s?dorq:\d+\([A-Za-z]+\).*)");
  if (text.empty() || text.back() != '\n') {
    return "no newline at the end";
  }
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!std::regex_match(line, kHeader)) {
      return printable(line.substr(0, 200));
    }
  }
  return "";
}

// The pids in the headers of a trace file.
std::set<std::string> writersOf(const std::string& text) {
  static const std::regex kPid(R"(^SCHED \S+ \S+ (\d+) )");
  std::set<std::string> pids;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_search(line, m, kPid)) {
      pids.insert(m[1]);
    }
  }
  return pids;
}

// Before dorq is executed, the runner's hook creates dorq's own trace file
// <dir>/dorq_<pid>.trc with mode 0666, so that the job's lines, written as
// the job user after the identity switch, reach the file too. The hook runs
// in a forked copy of this threaded process: it formats the name into
// storage prepared beforehand and makes system calls only.
class SharedTraceFile {
 public:
  explicit SharedTraceFile(const std::string& dir) : prefix_(dir + "/dorq_") {}
  std::function<void()> hook() const {
    return [this] { create(); };
  }

 private:
  void create() const {
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
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      (void)fchmod(fd, 0666);
      close(fd);
    }
  }
  std::string prefix_;
};

enum class Kind { Succeeds, Sampled, WrongPassword, KillPair, KillRefused, Orphaned };

struct Item {
  Kind kind;
  int flags;
  int index;
};

class LoadTest : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    const long today = static_cast<long>(time(nullptr) / 86400);
    std::ofstream(sandbox_->root() + "/passwd", std::ios::app)
        << kLoadUser.name << ":x:" << kLoadUser.uid << ":" << kLoadUser.group.gid
        << ":dorq load user:/:/bin/sh\n";
    std::ofstream(sandbox_->root() + "/group", std::ios::app)
        << kLoadUser.group.name << ":x:" << kLoadUser.group.gid << ":\n";
    std::ofstream(sandbox_->root() + "/shadow", std::ios::app)
        << kLoadUser.name << ":" << Sandbox::hashPassword(kLoadUser.password, HashMethod::Sha512)
        << ":" << today << ":0:99999:7:::\n";
    traceDir_ = reports_ + "/trace";
    ASSERT_EQ(mkdir(traceDir_.c_str(), 0777), 0);
    chmod(traceDir_.c_str(), 0777);
  }

  // The words of every run: all of its trace lines, and those of its job,
  // go to <traceDir>/dorq_<pid>.trc; the pid goes to a file of its own.
  std::vector<std::string> words(const std::string& dir, const std::string& pidFile) const {
    return {"-trclvl", "0x3A", "-trcfile", dir + "/t", "-childpidfile", pidFile};
  }

  ProcessSpec spec(const std::string& input, const Item& item, const SharedTraceFile& trace,
                   const std::string& dir) {
    ProcessSpec s = dorqSpec(input, words(dir, reports_ + "/pid" + std::to_string(item.index)));
    s.beforeExec = trace.hook();
    return s;
  }

  // Records the trace file of a finished run, by the pid dorq had.
  void traced(pid_t pid, const std::string& dir, bool jobWrites) {
    std::lock_guard<std::mutex> lock(mu_);
    traceFiles_.push_back({dir + "/dorq_" + std::to_string(pid) + ".trc", jobWrites});
  }

  void expectChannels(const ProcessResult& r, int exitCode, const std::string& out, int frame,
                      const std::string& what) {
    EXPECT_TRUE(r.exitedWith(exitCode)) << what << ": " << describe(r);
    EXPECT_EQ(printable(r.out), printable(out)) << what;
    EXPECT_EQ(r.err, frame < 0 ? "" : statusFrame(frame)) << what;
  }

  static std::string request(int flags, const std::string& path,
                             const std::vector<std::string>& args = {}) {
    return requestRecord(kLoadUser.name, kLoadUser.password, flags, path, args);
  }

  static std::string words(int flags, const std::string& statusWords) {
    return (flags & 2) != 0 ? statusWords : "";
  }

  // A job that exits with a status of its own, with enough arguments that
  // its trace lines overlap the parent's.
  void succeeds(const Item& item) {
    const SharedTraceFile trace(traceDir_);
    std::vector<std::string> args = {"-c", "exit " + std::to_string(item.index % 6)};
    for (int i = 0; i < 24; ++i) {
      args.push_back("argument-" + std::to_string(i));
    }
    const ProcessResult r =
        runProcess(spec(request(item.flags, "/bin/sh", args), item, trace, traceDir_));
    expectChannels(r, item.index % 6, words(item.flags, std::string(1, '\0')), -1,
                   "run " + std::to_string(item.index));
    traced(r.pid, traceDir_, true);
  }

  // The job's view, from inside: exactly what dorq was started with.
  void sampled(const Item& item) {
    const SharedTraceFile trace(traceDir_);
    const std::string what = "sampled run " + std::to_string(item.index);
    const std::string report = probeReportPath("report" + std::to_string(item.index));
    ProbeOptions options;
    options.report = report;
    options.readStdin = false;
    ProcessSpec s =
        spec(request(item.flags, jobProbePath(), probeArgs(options)), item, trace, traceDir_);
    s.env.push_back("DORQ_MARK=" + std::to_string(item.index));
    const bool withHome = item.index % 2 == 0;
    if (withHome) {
      s.env.push_back("ZANTIX_HOME=/h" + std::to_string(item.index));
    }
    s.blockedSignals = {SIGUSR1};
    s.ignoredSignals = {SIGUSR2};
    if (item.index % 3 == 0) {
      s.ignoredSignals.push_back(SIGCHLD);
    }
    int extra[2] = {-1, -1};
    const bool withPipe = item.index % 2 == 1;
    if (withPipe) {
      EXPECT_EQ(pipe2(extra, O_CLOEXEC), 0);
      s.inherited.push_back({kPipeFd, extra[1]});
    }
    const ProcessResult r = runProcess(s);
    if (withPipe) {
      close(extra[0]);
      close(extra[1]);
    }
    expectChannels(r, 0, words(item.flags, std::string(1, '\0')), -1, what);
    traced(r.pid, traceDir_, true);
    const auto parsed = readProbeReport(report);
    ASSERT_TRUE(parsed.has_value()) << what;
    std::set<int> fds;
    for (const auto& [fd, target] : parsed->fds()) {
      fds.insert(fd);
    }
    const std::set<int> inherited =
        withPipe ? std::set<int>{0, 1, 2, kPipeFd} : std::set<int>{0, 1, 2};
    EXPECT_EQ(fds, inherited) << what;
    EXPECT_EQ(parsed->blockedSignals(), std::set<int>{SIGUSR1}) << what;
    EXPECT_EQ(parsed->ignoredSignals(),
              std::set<int>(s.ignoredSignals.begin(), s.ignoredSignals.end()))
        << what;
    std::map<std::string, std::string> env;
    for (const std::string& entry : s.env) {
      env[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
    }
    if (withHome) {
      const std::string home = env["ZANTIX_HOME"];
      env["LD_LIBRARY_PATH"] = home + "/lib32:" + home + "/lib";
    }
    EXPECT_EQ(parsed->env(), env) << what;
  }

  void wrongPassword(const Item& item) {
    const SharedTraceFile trace(traceDir_);
    const ProcessResult r =
        runProcess(spec(requestRecord(kLoadUser.name, "wrong " + std::to_string(item.index),
                                      item.flags, "/bin/true"),
                        item, trace, traceDir_));
    expectChannels(r, 7, words(item.flags, "\x07"), 7,
                   "wrong password " + std::to_string(item.index));
    traced(r.pid, traceDir_, false);
  }

  // A long job started through dorq, then killed by a kill request for the
  // pid it recorded: two requests.
  void killPair(const Item& item) {
    const std::string what = "kill pair " + std::to_string(item.index);
    const SharedTraceFile trace(traceDir_);
    const std::string pidFile = reports_ + "/pid" + std::to_string(item.index);
    Process victim;
    ASSERT_TRUE(victim.start(spec(request(6, "/bin/sleep", {"60"}), item, trace, traceDir_)))
        << victim.startError();
    std::string pid;
    const bool recorded = waitFor([&] {
      pid = readFile(pidFile);
      const auto job = pid.empty() ? std::nullopt : processInfo(std::stoi(pid));
      return job.has_value() && job->euid == kLoadUser.uid;
    });
    EXPECT_TRUE(recorded) << what;
    const SharedTraceFile killTrace(traceDir_);
    Item killItem = item;
    killItem.index += 1000;
    const ProcessResult kill = runProcess(
        spec(request(item.flags, "kill", {recorded ? pid : "1"}), killItem, killTrace, traceDir_));
    expectChannels(kill, 0, words(item.flags, std::string(1, '\0')), -1, what + " (kill)");
    const ProcessResult ended = victim.wait();
    expectChannels(ended, 12, std::string("\0\x0c", 2), 12, what + " (victim)");
    traced(kill.pid, traceDir_, false);
    traced(ended.pid, traceDir_, true);
  }

  void killRefused(const Item& item) {
    const SharedTraceFile trace(traceDir_);
    const ProcessResult r =
        runProcess(spec(request(item.flags, "kill", {"1"}), item, trace, traceDir_));
    expectChannels(r, 14, words(item.flags, "\x0e\x0e"), 14,
                   "refused kill " + std::to_string(item.index));
    traced(r.pid, traceDir_, false);
  }

  // The caller dies while dorq polls: dorq kills the job and ends with 0.
  // Runs in PID namespaces of their own get the same pids, so each has a
  // trace directory of its own.
  void orphaned(const Item& item) {
    const std::string what = "orphaned run " + std::to_string(item.index);
    const std::string dir = traceDir_ + "/orphan" + std::to_string(item.index);
    mkdir(dir.c_str(), 0777);
    chmod(dir.c_str(), 0777);
    const SharedTraceFile trace(dir);
    ProcessSpec s = spec(request(2, "/bin/sleep", {"60"}), item, trace, dir);
    s.parent = ParentKind::CallerInPidNamespace;
    Process run;
    ASSERT_TRUE(run.start(s)) << what << ": " << run.startError();
    EXPECT_TRUE(waitFor([&] { return !run.outSoFar().empty(); })) << what;
    const pid_t nsPid = run.nsPid();
    EXPECT_TRUE(run.killCaller()) << what;
    const ProcessResult r = run.wait();
    expectChannels(r, 0, std::string(1, '\0'), -1, what);
    bool jobKilled = false;
    for (const ReapedProcess& p : r.reaped) {
      jobKilled |= WIFSIGNALED(p.status) && WTERMSIG(p.status) == SIGKILL;
    }
    EXPECT_TRUE(jobKilled) << what << ": " << describe(r);
    traced(nsPid, dir, true);
  }

  void run(const Item& item) {
    switch (item.kind) {
      case Kind::Succeeds:
        return succeeds(item);
      case Kind::Sampled:
        return sampled(item);
      case Kind::WrongPassword:
        return wrongPassword(item);
      case Kind::KillPair:
        return killPair(item);
      case Kind::KillRefused:
        return killRefused(item);
      case Kind::Orphaned:
        return orphaned(item);
    }
  }

  struct TraceFile {
    std::string path;
    bool jobWrites;  // the job's own lines are expected in it too
  };
  std::string traceDir_;
  std::mutex mu_;
  std::vector<TraceFile> traceFiles_;
};

TEST_F(LoadTest, TwoHundredRequestsEightAtATimeLeaveNothingBehind) {
  // The kinds, by number of requests: a kill pair is two.
  struct Share {
    Kind kind;
    int items;
  };
  const std::vector<Share> shares = {
      {Kind::Succeeds, 120}, {Kind::Sampled, 20},    {Kind::WrongPassword, 16},
      {Kind::KillPair, 12},  {Kind::KillRefused, 8}, {Kind::Orphaned, 12},
  };
  std::vector<Item> items;
  int requests = 0;
  for (const Share& share : shares) {
    for (int i = 0; i < share.items; ++i) {
      const int index = static_cast<int>(items.size());
      // Every combination of polling and blocking, with and without status words.
      items.push_back({share.kind, (index % 4) * 2, index});
      requests += share.kind == Kind::KillPair ? 2 : 1;
    }
  }
  ASSERT_EQ(requests, 200);
  std::shuffle(items.begin(), items.end(), std::mt19937(20240607));

  const std::vector<int> fdsBefore = openFdNumbers();
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (size_t w = 0; w < kParallelRuns; ++w) {
    workers.emplace_back([&] {
      for (size_t i = next++; i < items.size(); i = next++) {
        run(items[i]);
      }
    });
  }
  for (std::thread& worker : workers) {
    worker.join();
  }

  EXPECT_TRUE(waitFor([] { return ownProcessesOfTestUsers() == 0; }, milliseconds(5000)))
      << ownProcessesOfTestUsers() << " processes of the test users survive";
  EXPECT_TRUE(zombieChildrenOf(getpid()).empty());
  EXPECT_EQ(openFdNumbers(), fdsBefore);

  EXPECT_EQ(traceFiles_.size(), 200U);
  for (const TraceFile& file : traceFiles_) {
    const std::string text = readFile(file.path);
    EXPECT_EQ(firstBrokenLine(text), "") << file.path;
    // dorq and its job both wrote to the file: two pids in the headers.
    EXPECT_EQ(writersOf(text).size(), file.jobWrites ? 2U : 1U) << file.path;
  }
}

}  // namespace
}  // namespace dorq_test

// What the security history of comparable set-user-ID programs teaches,
// tried against the real binary: an empty argument vector, closed standard
// descriptors, a caller that ignores SIGCHLD, PAM results that are neither
// success nor a plain failure, and a caller's environment that the loader
// must not honour.
//
// A PAM module that leaves descriptors open in the program is covered by
// JobTest.DescriptorsLeftOpenByAPamModuleStayOutOfTheJob (e2e_job_test.cpp).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <map>
#include <sstream>

#include "tests/app/e2e_fixture.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

using std::chrono::seconds;

// Every line is a whole trace line: its header, then the message, then "\n".
bool onlyWholeTraceLines(const std::string& text, std::string* bad) {
  static const std::regex kHeader(
      R"(SCHED \d\d-\d\d \d\d:\d\d:\d\d\.\d\d\d \d+ s?dorq:\d+\([A-Za-z]+\).*)");
  if (text.empty() || text.back() != '\n') {
    *bad = "does not end with a newline";
    return false;
  }
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!std::regex_match(line, kHeader)) {
      *bad = printable(line);
      return false;
    }
  }
  return true;
}

class LessonsTest : public E2eTest {
 protected:
  // Started by root itself, the program is not in the loader's secure mode,
  // and the C library leaves closed standard descriptors closed: then the
  // program's own check is what fills them.
  void startAsRoot(ProcessSpec* spec) const {
    spec->binary = copies_.plain;
    spec->argv[0] = copies_.plain;
    spec->identity.reset();
  }

  // A directory every user may write, for a run's trace file.
  std::string traceDir(const std::string& name) {
    const std::string dir = reports_ + "/" + name;
    mkdir(dir.c_str(), 0777);
    chmod(dir.c_str(), 0777);
    return dir;
  }
};

// Started with argc 0, a program that takes argv[1] for its first option
// reads the first environment entry instead. Linux 5.18 and later turn an
// empty vector into one empty string; either way the entries that look like
// options below must stay environment entries, and the request is served.
TEST_F(LessonsTest, StartedWithNoArgumentsAtAll) {
  const std::string pidFile = reports_ + "/pid-from-the-environment";
  ProcessSpec spec = dorqSpec(jobRequest(2, "/bin/true"));
  spec.argv.clear();
  spec.env = {"-trclvl",       "0x3F",  "-trcfile",          reports_ + "/t",
              "-childpidfile", pidFile, "PATH=/usr/bin:/bin"};
  const ProcessResult r = runProcess(spec);
  EXPECT_TRUE(r.exitedWith(0)) << describe(r);
  EXPECT_EQ(printable(r.out), printable(std::string(1, '\0')));
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(std::filesystem::exists(pidFile));
  EXPECT_FALSE(std::filesystem::exists(reports_ + "/dorq_" + std::to_string(r.pid) + ".trc"));
}

// Started with descriptor 0, 1 or 2 closed: whatever the program opens
// (settings file, trace file, job pipe, child pid file, its copy of standard
// error) would take the lowest free number and pass for a standard stream.
// Every closed slot is filled before anything is opened: by the C library
// for a set-user-ID program, else by the program itself. Checked from inside
// the job, and on the files the run writes.
TEST_F(LessonsTest, ClosedStandardDescriptorsAreNotReusedByWhatDorqOpens) {
  const std::string home = sandbox_->root() + "/inst";
  mkdir(home.c_str(), 0755);
  writeFile(home + "/env.zan", "KVL_ADMIN=/net/admin\n");
  for (const int run : {0, 1, 2, 3, 4, 5}) {
    const int closed = run % 3;
    const bool asRoot = run >= 3;
    const std::string what =
        "descriptor " + std::to_string(closed) + " closed" + (asRoot ? ", started by root" : "");
    const std::string dir = traceDir("closed" + std::to_string(run));
    const std::string pidFile = dir + "/pid";
    const std::string report = dir + "/report";
    ProbeOptions options;
    options.report = report;
    options.readStdin = false;
    // Flags 3: status words, and the job's standard error left as dorq's.
    ProcessSpec spec =
        dorqSpec(jobRequest(3, jobProbePath(), probeArgs(options)),
                 {"-trclvl", "0x3A", "-trcfile", dir + "/t", "-childpidfile", pidFile});
    spec.env.push_back("ZANTIX_HOME=" + home);
    if (asRoot) {
      startAsRoot(&spec);
    }
    if (closed == 0) {
      spec.stdinSource = StdinSource::Closed;
    } else if (closed == 1) {
      spec.stdoutSink = OutputSink::Closed;
    } else {
      spec.stderrSink = OutputSink::Closed;
    }
    const ProcessResult r = runProcess(spec);
    const std::string trace = readFile(dir + "/dorq_" + std::to_string(r.pid) + ".trc");
    std::string bad;
    EXPECT_TRUE(onlyWholeTraceLines(trace, &bad)) << what << ": " << bad;
    EXPECT_NE(trace.find("Tracing to file"), std::string::npos) << what;

    if (closed == 0) {
      // The request is read from the descriptor that fills slot 0 (for a
      // set-user-ID program the C library opens /dev/full there, for writing
      // only): it ends, or fails, before the first line.
      EXPECT_TRUE(r.exitedWith(3)) << what << ": " << describe(r);
      EXPECT_EQ(r.out, "") << what;
      EXPECT_EQ(r.err, statusFrame(3)) << what;
      EXPECT_FALSE(std::filesystem::exists(pidFile)) << what;
      continue;
    }
    EXPECT_TRUE(r.exitedWith(0)) << what << ": " << describe(r);
    EXPECT_EQ(printable(r.out), closed == 1 ? "" : "\\x00") << what;
    EXPECT_EQ(r.err, "") << what;
    const auto parsed = readProbeReport(report);
    ASSERT_TRUE(parsed.has_value()) << what << ": " << describe(r);
    const std::map<int, std::string> fds = parsed->fds();
    EXPECT_EQ(fds.size(), 3U) << what;
    for (const auto& [fd, target] : fds) {
      if (fd == closed) {
        EXPECT_EQ(target, "/dev/null") << what;
      } else {
        EXPECT_EQ(target.rfind("pipe:", 0), 0U) << what << ": fd " << fd << " " << target;
      }
    }
    EXPECT_EQ(readFile(pidFile), parsed->value("pid")) << what;
    EXPECT_NE(trace.find("Openning file"), std::string::npos) << what;
  }
}

// The same with a command that cannot be executed. For a set-user-ID
// program the C library itself fills a closed 1 or 2 with /dev/null opened
// for reading only (and a closed 0 with /dev/full for writing only), before
// dorq's own check runs: writes to it fail. A child that must keep a copy of
// standard error for its frame (flags without the value 1) cannot use such
// a descriptor and ends with 13 before the command; with the value 1 it
// writes its frame to the read-only descriptor, where it is lost. Either
// way the frame and the status words reach only the streams that are open.
TEST_F(LessonsTest, ClosedStandardDescriptorsWhenTheChildFails) {
  struct Case {
    int closed;
    int flags;
    bool asRoot;
    int exitCode;
    std::string out;
    std::string err;
  };
  const std::vector<Case> cases = {
      {1, 2, false, 10, "", statusFrame(10)},
      {2, 2, false, 13, std::string(1, '\0'), ""},
      {2, 3, false, 10, std::string("\x0a\0", 2), ""},
      // The program's own /dev/null is open for reading and writing.
      {1, 2, true, 10, "", statusFrame(10)},
      {2, 2, true, 10, std::string("\x0a\0", 2), ""},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string what = "descriptor " + std::to_string(c.closed) + " closed, flags " +
                             std::to_string(c.flags) + (c.asRoot ? ", started by root" : "");
    const std::string dir = traceDir("failing" + std::to_string(i));
    ProcessSpec spec = dorqSpec(jobRequest(c.flags, "/no/such/command"),
                                {"-trclvl", "0x3A", "-trcfile", dir + "/t"});
    if (c.asRoot) {
      startAsRoot(&spec);
    }
    (c.closed == 1 ? spec.stdoutSink : spec.stderrSink) = OutputSink::Closed;
    const ProcessResult r = runProcess(spec);
    EXPECT_TRUE(r.exitedWith(c.exitCode)) << what << ": " << describe(r);
    EXPECT_EQ(printable(r.out), printable(c.out)) << what;
    EXPECT_EQ(r.err, c.err) << what;
    std::string bad;
    EXPECT_TRUE(
        onlyWholeTraceLines(readFile(dir + "/dorq_" + std::to_string(r.pid) + ".trc"), &bad))
        << what << ": " << bad;
  }
}

// A caller that ignores SIGCHLD: the kernel would reap dorq's child by
// itself and the wait would fail (11). dorq takes the default action for its
// own wait, and the job still inherits the caller's disposition.
TEST_F(LessonsTest, CallerThatIgnoresSigchld) {
  const std::string report = probeReportPath("sigchld");
  for (const int flags : {0, 2, 4, 6}) {
    const std::string what = "flags " + std::to_string(flags);
    ProbeOptions options;
    options.report = report;
    options.readStdin = false;
    options.exitCode = 5;
    ProcessSpec spec = dorqSpec(jobRequest(flags, jobProbePath(), probeArgs(options)));
    spec.ignoredSignals = {SIGCHLD};
    const ProcessResult r = runProcess(spec);
    EXPECT_TRUE(r.exitedWith(5)) << what << ": " << describe(r);
    EXPECT_EQ(printable(r.out), (flags & 2) != 0 ? "\\x00" : "") << what;
    EXPECT_EQ(r.err, "") << what;
    const auto parsed = readProbeReport(report);
    ASSERT_TRUE(parsed.has_value()) << what;
    EXPECT_EQ(parsed->ignoredSignals().count(SIGCHLD), 1U) << what;
    unlink(report.c_str());
  }
  // A job ended by a signal is still told apart from a failed wait.
  for (const int flags : {2, 6}) {
    ProbeOptions options;
    options.report = report;
    options.readStdin = false;
    options.signal = SIGTERM;
    ProcessSpec spec = dorqSpec(jobRequest(flags, jobProbePath(), probeArgs(options)));
    spec.ignoredSignals = {SIGCHLD};
    const ProcessResult r = runProcess(spec);
    EXPECT_TRUE(r.exitedWith(12)) << flags << ": " << describe(r);
    EXPECT_EQ(printable(r.out), "\\x00\\x0c") << flags;
    EXPECT_EQ(r.err, statusFrame(12)) << flags;
  }
}

// PAM answers with many values besides success and the two failures the
// policy names. A program that tests for failure instead of for success
// runs the job on any of them; dorq compares with PAM_SUCCESS only, so each
// is an authentication failure (7, after the pause). Two runs cover four
// values: the second is started once the first has read the PAM
// configuration, so that their pauses overlap.
TEST_F(LessonsTest, PamResultsOtherThanSuccessNeverRunTheJob) {
  struct Run {
    std::string su;
    std::string dorq;
    std::vector<std::string> traced;  // what PAM's steps returned
  };
  const std::vector<Run> runs = {
      {pamDebugService("incomplete"),
       pamDebugService("success", "new_authtok_reqd"),
       {"pam_authenticate returned status 31", "pam_acct_mgmt returned status 12"}},
      {pamDebugService("ignore"),
       pamDebugService("success", "success", "cred_err"),
       {"pam_setcred returned status 17"}},
  };
  std::vector<std::unique_ptr<Process>> started;
  std::vector<std::string> traces;
  std::vector<std::string> reports;
  for (size_t i = 0; i < runs.size(); ++i) {
    sandbox_->writeService("su", runs[i].su);
    sandbox_->writeService("dorq", runs[i].dorq);
    const std::string dir = traceDir("pam" + std::to_string(i));
    ProbeOptions options;
    options.report = dir + "/report";
    options.readStdin = false;
    reports.push_back(options.report);
    auto process = std::make_unique<Process>();
    ASSERT_TRUE(process->start(dorqSpec(jobRequest(2, jobProbePath(), probeArgs(options)),
                                        {"-trclvl", "0x1A", "-trcfile", dir + "/t"})))
        << process->startError();
    traces.push_back(dir + "/dorq_" + std::to_string(process->pid()) + ".trc");
    // Both transactions are over once the second pam_end has been invoked.
    const std::string& trace = traces.back();
    ASSERT_TRUE(waitFor([&] {
      const std::string text = readFile(trace);
      const size_t first = text.find("Invoking pam_end");
      return first != std::string::npos &&
             text.find("Invoking pam_end", first + 1) != std::string::npos;
    }));
    started.push_back(std::move(process));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const ProcessResult r = started[i]->wait();
    EXPECT_TRUE(r.exitedWith(7)) << i << ": " << describe(r);
    EXPECT_EQ(printable(r.out), "\\x07") << i;
    EXPECT_EQ(r.err, statusFrame(7)) << i;
    EXPECT_GE(r.wallTime, seconds(3)) << i;
    EXPECT_FALSE(std::filesystem::exists(reports[i])) << i << ": the job ran";
    const std::string trace = readFile(traces[i]);
    for (const std::string& line : runs[i].traced) {
      EXPECT_NE(trace.find(line), std::string::npos) << i << ": " << line;
    }
    EXPECT_EQ(trace.find("Succeeded using"), std::string::npos) << i;
    EXPECT_NE(trace.find("Could not authenticate despite best efforts"), std::string::npos) << i;
  }
}

// The loader runs a set-user-ID program in secure mode: it neither honours
// nor passes on the caller's preload list, library path and the other
// variables that would let the caller choose code or files for root. The job
// gets dorq's environment: the caller's without those, and its own library
// path from the installation home.
TEST_F(LessonsTest, LoaderDropsTheCallersUnsafeEnvironment) {
  const std::string report = probeReportPath("loader");
  ProbeOptions options;
  options.report = report;
  options.readStdin = false;
  ProcessSpec spec = dorqSpec(jobRequest(2, jobProbePath(), probeArgs(options)));
  const std::vector<std::string> unsafe = {"LD_PRELOAD", "LD_LIBRARY_PATH", "LD_AUDIT",
                                           "GCONV_PATH", "MALLOC_TRACE",    "LOCPATH"};
  for (const std::string& name : unsafe) {
    spec.env.push_back(name + "=/nonexistent/dq-" + name + ".so");
  }
  spec.env.push_back("DORQ_MARK=kept");
  const ProcessResult r = runProcess(spec);
  // A preload list that the loader honoured would have made it complain on
  // standard error about the missing library.
  EXPECT_TRUE(r.exitedWith(0)) << describe(r);
  EXPECT_EQ(printable(r.out), "\\x00");
  EXPECT_EQ(r.err, "");
  const auto parsed = readProbeReport(report);
  ASSERT_TRUE(parsed.has_value()) << describe(r);
  const auto env = parsed->env();
  for (const std::string& name : unsafe) {
    EXPECT_EQ(env.count(name), 0U) << name;
  }
  EXPECT_EQ(env.count("DORQ_MARK"), 1U);
  EXPECT_EQ(env.count("PATH"), 1U);
}

}  // namespace
}  // namespace dorq_test

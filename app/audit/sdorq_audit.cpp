// The audit record in the system log.
#include "app/audit/sdorq_audit.h"

#include <pwd.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <span>
#include <string_view>

#include "app/base/dorq_escape.h"
#include "app/base/dorq_status.h"

namespace {

constexpr char kIdent[] = "dorq";
// Escaped fields are cut at these sizes, with a mark; the line is always
// shorter than what syslog takes in one message.
constexpr size_t kNameField = 256;
constexpr size_t kPathField = 1024;
constexpr size_t kLineBuffer = 3072;

// The caller, as dorq was started: "NAME(UID)", escaped.
char callerField[kNameField + 16] = "?";

struct Reason {
  DorqStatus status;
  const char* word;
};
// Each status's own reason word. 0 is logged only with a word of its own
// (caller-gone, signal-sent, cgroup-killed) and 12 only as signal=, so
// neither has one here.
constexpr Reason kReasons[] = {
    {DorqStatus::NoMemory, "no-memory"},
    {DorqStatus::InputEnded, "request-incomplete"},
    {DorqStatus::LineTooLong, "request-line-too-long"},
    {DorqStatus::NotSetUid, "not-setuid-root"},
    {DorqStatus::AuthFailed, "authentication-failed"},
    {DorqStatus::Identity, "identity-not-taken"},
    {DorqStatus::ForkFailed, "fork-failed"},
    {DorqStatus::ExecFailed, "command-not-executed"},
    {DorqStatus::WaitFailed, "wait-failed"},
    {DorqStatus::StderrCopy, "stderr-not-set-up"},
    {DorqStatus::KillFailed, "kill-failed"},
    {DorqStatus::NoPam, "no-pam-library"},
    {DorqStatus::BadOption, "bad-option"},
    {DorqStatus::BadPamConf, "su-refuses-dorq"},
};

const char* reasonOf(const AuditOutcome& outcome) {
  if (outcome.reason != nullptr) {
    return outcome.reason;
  }
  for (const Reason& r : kReasons) {
    if (r.status == outcome.status) {
      return r.word;
    }
  }
  return "unknown";
}

// The line being built; a piece that does not fit is cut by snprintf and
// ends the line there.
struct LineBuilder {
  char text[kLineBuffer];
  size_t length;

  __attribute__((format(printf, 2, 3))) void append(const char* format, ...) {
    if (length >= kLineBuffer - 1) {
      return;
    }
    va_list arguments;
    va_start(arguments, format);
    // clang-tidy 14's analyzer takes a va_list for uninitialised once it has
    // seen va_list calls in an earlier file of the same run.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int more = vsnprintf(text + length, kLineBuffer - length, format, arguments);
    va_end(arguments);
    length = more < 0 ? kLineBuffer - 1 : length + static_cast<size_t>(more);
  }

  // " key=value", the value escaped as one field of at most Size bytes.
  template <size_t Size>
  void field(const char* key, const char* value) {
    char escaped[Size];
    dorqEscapeField(value, std::span<char>(escaped, Size));
    append(" %s=%s", key, escaped);
  }
};

// "caller=NAME(UID) event=EVENT", then what the request asked for as far as
// it was read, and the job's pid once there is one.
void begin(LineBuilder* line, const char* event, const AuditRequest& request, pid_t job) {
  line->length = 0;
  line->text[0] = '\0';
  line->append("caller=%s event=%s", callerField, event);
  if (request.user != nullptr) {
    line->field<kNameField>("user", request.user);
  }
  if (request.killTarget != nullptr) {
    line->field<kNameField>("kill", request.killTarget);
  } else if (request.path != nullptr) {
    line->field<kPathField>("command", request.path);
    line->append(" args=%u", request.argumentCount);
  }
  if (job > 0) {
    line->append(" pid=%d", static_cast<int>(job));
  }
}

// " signal=SIGNAME", or the number where the signal has no name.
void appendSignal(LineBuilder* line, int signal) {
  const char* name = sigabbrev_np(signal);
  if (name != nullptr) {
    line->append(" signal=SIG%s", name);
  } else {
    line->append(" signal=%d", signal);
  }
}

// " status=N reason=WORD", " error=ENAME" when the system gave a reason and
// " signal=SIGNAME" when a cancel did.
void appendOutcome(LineBuilder* line, const AuditOutcome& outcome) {
  line->append(" status=%d reason=%s", dorqStatusCode(outcome.status), reasonOf(outcome));
  if (outcome.signal != 0) {
    appendSignal(line, outcome.signal);
  }
  if (outcome.error != 0) {
    const char* name = strerrorname_np(outcome.error);
    if (name != nullptr) {
      line->append(" error=%s", name);
    } else {
      line->append(" error=%d", outcome.error);
    }
  }
}

void write(int priority, const LineBuilder& line) {
  syslog(priority, "%s", line.text);
}

constexpr int64_t kMicrosecondsPerMillisecond = 1000;

// Microseconds as seconds to the millisecond: "1.234".
struct Seconds {
  char text[32];
};
Seconds seconds(int64_t microseconds) {
  constexpr int64_t kPerSecond = 1000000;
  const int64_t milliseconds = microseconds / kMicrosecondsPerMillisecond;
  Seconds out{};
  snprintf(out.text, sizeof out.text, "%lld.%03lld",
           static_cast<long long>(milliseconds / (kPerSecond / kMicrosecondsPerMillisecond)),
           static_cast<long long>(milliseconds % (kPerSecond / kMicrosecondsPerMillisecond)));
  return out;
}

}  // namespace

void sdorqAuditStart() {
  const uid_t caller = getuid();
  const passwd* entry = getpwuid(caller);
  char name[kNameField];
  dorqEscapeField(entry != nullptr ? entry->pw_name : "?", std::span<char>(name, sizeof name));
  snprintf(callerField, sizeof callerField, "%s(%u)", name, static_cast<unsigned>(caller));
  // The socket now, while nothing of the caller's can stand in the way; the
  // C library makes it close-on-exec.
  openlog(kIdent, LOG_PID | LOG_NDELAY, LOG_AUTHPRIV);
}

void sdorqAuditRefused(const AuditRequest& request, pid_t job, const AuditOutcome& outcome) {
  LineBuilder line;
  begin(&line, "refused", request, job);
  appendOutcome(&line, outcome);
  write(LOG_NOTICE, line);
}

void sdorqAuditAuthenticating(const AuditRequest& request) {
  LineBuilder line;
  begin(&line, "authenticating", request, 0);
  write(LOG_INFO, line);
}

void sdorqAuditSpawned(const AuditRequest& request, pid_t job) {
  LineBuilder line;
  begin(&line, "spawned", request, job);
  write(LOG_INFO, line);
}

void sdorqAuditStarted(const AuditRequest& request, pid_t job) {
  LineBuilder line;
  begin(&line, "started", request, job);
  write(LOG_INFO, line);
}

void sdorqAuditEnded(const AuditRequest& request, pid_t job, const AuditJobEnd& end) {
  LineBuilder line;
  begin(&line, "ended", request, job);
  if (!end.waited) {
    appendOutcome(&line, end.outcome);
  } else if (end.signalled) {
    appendSignal(&line, end.value);
  } else {
    line.append(" exit=%d", end.value);
  }
  line.append(" wall=%s", seconds(end.wallMilliseconds * kMicrosecondsPerMillisecond).text);
  if (end.usage.known) {
    line.append(" user_cpu=%s system_cpu=%s", seconds(end.usage.userMicroseconds).text,
                seconds(end.usage.systemMicroseconds).text);
  }
  if (end.usage.memoryPeakKilobytes >= 0) {
    line.append(" memory_peak=%lldkB", static_cast<long long>(end.usage.memoryPeakKilobytes));
  }
  line.append(" cgroup=%s orphaned=%s", end.cgroup != nullptr ? end.cgroup : "none",
              end.orphaned ? "yes" : "no");
  write(end.waited ? LOG_INFO : LOG_NOTICE, line);
}

void sdorqAuditKill(const AuditRequest& request, const AuditOutcome& outcome) {
  LineBuilder line;
  begin(&line, "kill", request, 0);
  appendOutcome(&line, outcome);
  write(outcome.status == DorqStatus::Ok ? LOG_INFO : LOG_NOTICE, line);
}

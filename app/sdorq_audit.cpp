// The audit record in the system log.
#include "app/sdorq_audit.h"

#include <pwd.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>
#include <unistd.h>

#include <span>
#include <string_view>

#include "app/dorq_escape.h"
#include "app/dorq_status.h"

namespace {

constexpr char kIdent[] = "dorq";
// Escaped fields are cut at these sizes; the line is always shorter than
// what syslog takes in one message.
constexpr size_t kNameField = 256;
constexpr size_t kPathField = 1024;
constexpr size_t kLineBuffer = 2048;

// The caller and whether the line was written: one request per process, one
// line per request. The job's start writes it from the execution step; every
// other outcome from the driver at the end.
struct AuditState {
  uid_t caller;
  bool written;
};
AuditState state;

struct Meaning {
  DorqStatus status;
  const char* text;
};
constexpr Meaning kMeanings[] = {
    {DorqStatus::Ok, "started"},
    {DorqStatus::NoMemory, "no memory for the request"},
    {DorqStatus::InputEnded, "request incomplete"},
    {DorqStatus::LineTooLong, "request line too long"},
    {DorqStatus::NotSetUid, "not set-user-ID root"},
    {DorqStatus::AuthFailed, "authentication failed"},
    {DorqStatus::Identity, "user identity not taken"},
    {DorqStatus::ForkFailed, "fork failed"},
    {DorqStatus::ExecFailed, "command not executed"},
    {DorqStatus::WaitFailed, "wait failed"},
    {DorqStatus::Signalled, "job ended by a signal"},
    {DorqStatus::StderrCopy, "standard error not set up"},
    {DorqStatus::KillFailed, "kill failed"},
    {DorqStatus::NoPam, "no PAM library"},
    {DorqStatus::BadOption, "bad option"},
    {DorqStatus::BadPamConf, "PAM configuration refuses su"},
};

const char* meaningOf(DorqStatus status, bool kill) {
  if (status == DorqStatus::Ok && kill) {
    return "signal sent";
  }
  for (const Meaning& m : kMeanings) {
    if (m.status == status) {
      return m.text;
    }
  }
  return "unknown";
}

// An escaped, terminated copy of text in out.
template <size_t N>
const char* escaped(const char* text, char (&out)[N]) {
  const size_t length = dorqEscape(text, std::span<char>(out, N - 1));
  out[length] = '\0';
  return out;
}

// The line being built; a piece that does not fit is cut by snprintf and
// ends the line there.
struct LineBuilder {
  char (&text)[kLineBuffer];
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
};

// "caller=NAME(UID)", then what the request asked for as far as it was read.
void formatLine(const DorqAudit& a, char (&line)[kLineBuffer]) {
  LineBuilder out{line, 0};
  line[0] = '\0';
  const passwd* entry = getpwuid(state.caller);
  char text[kPathField];
  out.append("caller=%s(%u)", entry != nullptr ? escaped(entry->pw_name, text) : "?",
             static_cast<unsigned>(state.caller));
  const bool kill = a.killTarget != nullptr;
  if (a.user != nullptr) {
    char user[kNameField];
    out.append(" user=%s", escaped(a.user, user));
  }
  if (kill) {
    char target[kNameField];
    out.append(" kill=%s", escaped(a.killTarget, target));
  } else if (a.path != nullptr) {
    out.append(" command=%s args=%u", escaped(a.path, text), a.argumentCount);
  }
  if (a.job > 0) {
    out.append(" pid=%d", static_cast<int>(a.job));
  }
  out.append(" status=%d (%s)", dorqStatusCode(a.status), meaningOf(a.status, kill));
}

}  // namespace

void sdorqAuditStart() {
  state = AuditState{getuid(), false};
}

void sdorqAudit(const DorqAudit& audit) {
  if (state.written) {
    return;
  }
  state.written = true;
  char line[kLineBuffer];
  formatLine(audit, line);
  // The C library's log socket is close-on-exec; it is closed again at once,
  // so no job started later can find it either.
  openlog(kIdent, LOG_PID, LOG_AUTHPRIV);
  syslog(audit.status == DorqStatus::Ok ? LOG_INFO : LOG_NOTICE, "%s", line);
  closelog();
}

// The benchmark's private system: the test sandbox (real users with yescrypt
// passwords, an empty /etc/pam.d of its own, set-user-ID copies on a tmpfs)
// plus what the comparison programs need: a sudoers file of its own
// bind-mounted over /etc/sudoers, and the distribution's own PAM service texts
// for runuser and sudo, read from the host before the sandbox hides them.
// Everything lives in the process's private mount namespace and disappears
// with it; the host's /etc is never written.
#ifndef DORQ_BENCH_BENCH_SYSTEM_H
#define DORQ_BENCH_BENCH_SYSTEM_H

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_sandbox.h"

namespace dorq_bench {

// PAM service name -> text, as a row needs them.
using ServiceSet = std::vector<std::pair<std::string, std::string>>;

// Every step of every PAM stack allowed by pam_permit.
inline constexpr char kPermitAllService[] =
    "auth required pam_permit.so\n"
    "account required pam_permit.so\n"
    "session required pam_permit.so\n"
    "password required pam_permit.so\n";

// The sudoers text: the scheduler user may run anything as the job user,
// without a password. Nothing else is granted and no other file is included.
std::string sudoersText();

struct ProgramPaths {
  std::string dorqSetuid;  // root-owned, mode 4755, on the tmpfs
  std::string dorqPlain;   // root-owned, mode 0755 (for LD_DEBUG and profilers)
  std::string nullSetuid;  // the do-nothing C program, set-user-ID like dorq
  std::string nullPlain;
  std::string pamCheck;     // the PAM check alone, run by root
  std::string altSetuid{};  // a second dorq build (--alt-dorq); empty when none
  std::string altPlain{};
};

class BenchSystem {
 public:
  // Reads the host's PAM texts, then builds the sandbox with set-user-ID
  // copies of `dorq` and, when not empty, of a second build `altDorq`.
  // Throws std::runtime_error naming the failed step.
  BenchSystem(const std::string& dorq, const std::string& altDorq);
  BenchSystem(const BenchSystem&) = delete;
  BenchSystem& operator=(const BenchSystem&) = delete;
  ~BenchSystem();

  const ProgramPaths& paths() const { return paths_; }
  Sandbox& sandbox() { return *sandbox_; }

  // The host's own text of a PAM service as it was before the sandbox, with
  // no @include resolved (the included files are written into the sandbox
  // under their own names). Empty when the host has none.
  const std::string& hostService(const std::string& name) const;
  // The host texts that hostService() rows include, written once.
  ServiceSet hostIncludes() const;

  // Writes each service whose current text differs; cheap when nothing
  // changes, so it may run before every launch.
  void apply(const ServiceSet& services);

 private:
  std::map<std::string, std::string> hostTexts_;
  std::map<std::string, std::string> current_;
  std::unique_ptr<Sandbox> sandbox_;
  ProgramPaths paths_;
  std::string sudoersTarget_;
};

}  // namespace dorq_bench

#endif  // DORQ_BENCH_BENCH_SYSTEM_H

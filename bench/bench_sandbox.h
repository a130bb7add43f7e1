// A throw-away system of real users and real PAM services, for the benchmark
// running as root. Construction enters a private mount namespace and
// bind-mounts its own /etc/passwd, group, shadow and pam.d over the real ones,
// which are never modified: the host's system accounts (ids below 1000,
// nobody, nogroup) plus the users below; pam.d holds only "other" (pam_deny)
// until a service is written. Destruction unmounts everything. Failures throw
// runtime_error. setuidCopy(binary) copies binary to a tmpfs below root()
// twice: root-owned with mode 4755, and a plain copy with mode 0755.
#ifndef DORQ_BENCH_BENCH_SANDBOX_H
#define DORQ_BENCH_BENCH_SANDBOX_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace dorq_bench {

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string& path);
// Writes text to path (created or truncated) with the given mode.
void writeFile(const std::string& path, const std::string& text, unsigned mode = 0644);
// Bind-mounts source over target (both must exist); false on failure.
bool bindMount(const std::string& source, const std::string& target);

// How the users' passwords are hashed: "$6$" (fast) or "$y$" (slow on purpose).
enum class HashMethod { Sha512, Yescrypt };

struct SandboxGroup {
  const char* name;
  gid_t gid;
};

struct SandboxUser {
  const char* name;
  uid_t uid;
  SandboxGroup group;  // primary group, of the same name as the user
  const char* password;
};

inline constexpr SandboxUser kSchedulerUser{
    "dqsched", 23001, {"dqsched", 23001}, "Sched-Pass 2718"};
inline constexpr SandboxUser kJobUser{"dqjob", 23002, {"dqjob", 23002}, "Job-Pass 3141!"};
inline constexpr SandboxGroup kJobGroupA{"dqjoba", 23010};  // kJobUser is a member
inline constexpr SandboxGroup kJobGroupB{"dqjobb", 23011};  // kJobUser is a member

// Service texts from real modules.
inline constexpr char kPamUnixService[] =
    "auth required pam_unix.so nodelay\naccount required pam_unix.so\n";
inline constexpr char kPamPermitService[] =
    "auth required pam_permit.so\naccount required pam_permit.so\n";

struct SetuidCopies {
  std::string setuid;  // root-owned, mode 4755
  std::string plain;   // root-owned, mode 0755
};

class Sandbox {
 public:
  explicit Sandbox(HashMethod method = HashMethod::Sha512);
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  ~Sandbox();

  // The temporary directory that holds the sandbox's files.
  const std::string& root() const { return root_; }
  // Writes /etc/pam.d/<name> (mode 0644), replacing an earlier text.
  void writeService(const std::string& name, const std::string& text);

  SetuidCopies setuidCopy(const std::string& binary);

 private:
  void bind(const std::string& source, const std::string& target);
  std::string home(const SandboxUser& user) const;

  std::string root_;
  std::vector<std::string> mounts_;  // unmounted in reverse order at the end
};

}  // namespace dorq_bench

#endif  // DORQ_BENCH_BENCH_SANDBOX_H

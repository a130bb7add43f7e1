// A throw-away system for tests that need real users and real PAM services,
// for a test process running as root. Construction enters a private mount
// namespace (once per process) and bind-mounts its own /etc/passwd, group,
// shadow and pam.d over the real ones, which are never modified: the host's
// system accounts (ids below 1000, nobody, nogroup) plus the test users
// below; pam.d holds only "other" (pam_deny) until a test writes a service.
// Destruction unmounts everything. Failures throw runtime_error. pam_unix
// goes with "nodelay", so a failed test pays only for the program's pause.
// The libpam tricks work in a process that has not loaded libpam yet:
// hideLibpam() makes every libpam file empty, hideLibpamDevName() only the
// "libpam.so" link, installLibrary(lib) puts lib in the place of each.
// setuidCopy(binary) copies binary to a tmpfs below root() twice: root-owned
// with mode 4755, and a plain copy with mode 0755.
#ifndef DORQ_TESTS_HARNESS_SANDBOX_H
#define DORQ_TESTS_HARNESS_SANDBOX_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace dorq_test {

// How test passwords are hashed: "$6$" (fast) or "$y$" (slow on purpose).
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
inline constexpr SandboxUser kOtherUser{"dqother", 23003, {"dqother", 23003}, "Other-Pass 1618"};
inline constexpr SandboxGroup kJobGroupA{"dqjoba", 23010};   // kJobUser is a member
inline constexpr SandboxGroup kJobGroupB{"dqjobb", 23011};   // kJobUser is a member
inline constexpr SandboxGroup kOtherGroup{"dqothg", 23012};  // kOtherUser only

inline constexpr char kUnknownUserName[] = "dqnobody";  // exists nowhere

// Service texts from real modules.
inline constexpr char kPamUnixService[] =
    "auth required pam_unix.so nodelay\naccount required pam_unix.so\n";
inline constexpr char kPamPermitService[] =
    "auth required pam_permit.so\naccount required pam_permit.so\n";
inline constexpr char kPamDenyService[] =
    "auth required pam_deny.so\naccount required pam_deny.so\n";
// A service whose auth, account and credential steps return exactly the given
// pam_debug values ("success", "perm_denied", "auth_err", "system_err", ...).
std::string pamDebugService(const std::string& auth, const std::string& acct = "success",
                            const std::string& cred = "success");
// pam_echo shows text (PAM_TEXT_INFO) before pam_unix asks for the password.
std::string pamEchoUnixService(const std::string& text);

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

  static void enterNamespace();
  // The temporary directory that holds the sandbox's files.
  const std::string& root() const { return dir_.path(); }
  std::string home(const SandboxUser& user) const;
  // Writes /etc/pam.d/<name> (mode 0644), replacing an earlier text.
  void writeService(const std::string& name, const std::string& text);

  void hideLibpam();
  void hideLibpamDevName();
  void installLibrary(const std::string& library);

  SetuidCopies setuidCopy(const std::string& binary);
  // The usual start of a test of dorq: "su" and "dorq" check passwords
  // through pam_unix, and the dorq under test is copied as above.
  SetuidCopies dorqWithPamUnix();

 private:
  void bind(const std::string& source, const std::string& target);
  std::string emptyFile();

  TempDir dir_;
  std::vector<std::string> mounts_;  // unmounted in reverse order at the end
};

}  // namespace dorq_test

#endif  // DORQ_TESTS_HARNESS_SANDBOX_H

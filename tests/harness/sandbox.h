// A throw-away system for tests that need real users and real PAM services.
//
// Construction (the test process must run as root):
//   - enters a private mount namespace (enterNamespace(), idempotent within a
//     process; a forked child that mounts gets a namespace of its own, so its
//     mounts never reach the parent);
//   - writes its own /etc/passwd, /etc/group and /etc/shadow into a temporary
//     directory and bind-mounts them over the real ones, which are never
//     modified. The system entries of the host are copied (users and groups
//     with an id below 1000, and nobody/nogroup: root, the "shadow" group and
//     the like), then the test users below are added with known passwords,
//     home directories (created below root(), owned by the user) and groups;
//   - bind-mounts an empty temporary directory over /etc/pam.d and writes the
//     service "other" into it as pam_deny, so a service the test did not write
//     always fails.
// Destruction unmounts everything in reverse order and removes the directory.
// One Sandbox at a time per process. Every failure to set up throws
// std::runtime_error naming the step and errno.
//
// Test users (constants below):
//   kSchedulerUser  non-root; the user that starts the set-user-ID binary.
//   kJobUser        the job's user; primary group kJobUser.group and the two
//                   supplementary groups kJobGroupA and kJobGroupB.
//   kOtherUser      a second job user; member of kOtherGroup, which the job
//                   user is not ("another user's group").
//
// PAM services (writeService): texts built from the real modules of the host.
// Use pam_unix for auth always with "nodelay" (kPamUnixService does), so the
// only pause a failed test pays for is the program's own.
//
// Library tricks (call in a forked child, or in a process that has never
// loaded libpam: once a process has loaded it, dlopen finds it by name even
// when the file is hidden):
//   hideLibpam()         every libpam file becomes an empty file: neither
//                        "libpam.so" nor "libpam.so.0" can be loaded;
//   hideLibpamDevName()  only the "libpam.so" link is covered (the link
//                        itself, not its target): "libpam.so.0" still loads;
//   installLibrary(lib)  lib takes the place of every libpam file.
//
// setuidCopy(binary) mounts a tmpfs below root() (set-user-ID allowed) on
// first use and copies binary there twice: owned by root with mode 4755, and
// a plain copy with mode 0755.
#ifndef DORQ_TESTS_HARNESS_SANDBOX_H
#define DORQ_TESTS_HARNESS_SANDBOX_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace dorq_test {

// How test passwords are hashed in the sandbox's /etc/shadow.
enum class HashMethod {
  Sha512,    // "$6$": fast to verify; the default
  Yescrypt,  // "$y$": the distribution's default, slow on purpose
};

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

// A user name that exists nowhere in the sandbox.
inline constexpr char kUnknownUserName[] = "dqnobody";

// Service texts from real modules.
inline constexpr char kPamUnixService[] =
    "auth required pam_unix.so nodelay\n"
    "account required pam_unix.so\n";
inline constexpr char kPamPermitService[] =
    "auth required pam_permit.so\n"
    "account required pam_permit.so\n";
inline constexpr char kPamDenyService[] =
    "auth required pam_deny.so\n"
    "account required pam_deny.so\n";
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

  // unshare(CLONE_NEWNS) with private propagation, once per process.
  static void enterNamespace();

  // The temporary directory that holds the sandbox's files.
  const std::string& root() const { return dir_.path(); }
  // The home directory of a test user.
  std::string home(const SandboxUser& user) const;

  // Writes /etc/pam.d/<name> (mode 0644), replacing an earlier text.
  void writeService(const std::string& name, const std::string& text);

  void hideLibpam();
  void hideLibpamDevName();
  void installLibrary(const std::string& library);

  SetuidCopies setuidCopy(const std::string& binary);

  // The real files behind "libpam.so" and "libpam.so.0" (links resolved,
  // duplicates removed).
  static std::vector<std::string> libpamFiles();
  // A crypt(3) hash of password with a fresh salt of the given method.
  static std::string hashPassword(const std::string& password, HashMethod method);

 private:
  // Mounts made by this sandbox, unmounted in reverse order on destruction;
  // declared after dir_ so they go before the directory is removed.
  class Mounts {
   public:
    Mounts() = default;
    Mounts(const Mounts&) = delete;
    Mounts& operator=(const Mounts&) = delete;
    ~Mounts();
    void bind(const std::string& source, const std::string& target);
    void bindOverLink(const std::string& source, const std::string& link);
    void tmpfs(const std::string& dir);

   private:
    std::vector<std::string> targets_;
  };

  void writeAccounts(HashMethod method);
  void makeHome(const SandboxUser& user);
  std::string emptyFile();

  TempDir dir_;
  Mounts mounts_;
  bool binMounted_ = false;
};

}  // namespace dorq_test

#endif  // DORQ_TESTS_HARNESS_SANDBOX_H

#include "bench/bench_system.h"

#include <errno.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <stdexcept>

namespace dorq_bench {
namespace {

constexpr char kHostPamDir[] = "/etc/pam.d/";
constexpr char kSudoers[] = "/etc/sudoers";
// The services whose distribution texts the "as installed" rows use, and the
// files those texts include.
constexpr const char* kHostServices[] = {"runuser", "sudo"};
constexpr const char* kHostIncludes[] = {"common-auth", "common-account", "common-session",
                                         "common-session-noninteractive"};
constexpr unsigned kSudoersMode = 0440;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("bench system: " + what +
                           (errno != 0 ? std::string(": ") + strerror(errno) : std::string()));
}

}  // namespace

std::string sudoersText() {
  return std::string(
             "# The benchmark's own sudoers, bind-mounted in a private mount namespace.\n") +
         kSchedulerUser.name + " ALL=(" + kJobUser.name + ") NOPASSWD: ALL\n";
}

BenchSystem::BenchSystem(const std::string& dorqBinary, const std::string& altDorq) {
  for (const char* name : kHostServices) {
    hostTexts_[name] = readFile(std::string(kHostPamDir) + name);
  }
  for (const char* name : kHostIncludes) {
    hostTexts_[name] = readFile(std::string(kHostPamDir) + name);
  }
  if (access(kSudoers, F_OK) != 0) {
    fail(std::string(kSudoers) + " is missing (install sudo)");
  }

  sandbox_ = std::make_unique<Sandbox>(HashMethod::Yescrypt);
  const SetuidCopies dorq = sandbox_->setuidCopy(dorqBinary);
  const SetuidCopies null = sandbox_->setuidCopy(DORQ_BENCH_NULL);
  paths_ = ProgramPaths{dorq.setuid, dorq.plain, null.setuid, null.plain, DORQ_BENCH_PAM_CHECK};
  if (!altDorq.empty()) {
    // Copied under a name of its own first: the copies are named after the file.
    const std::string renamed = sandbox_->root() + "/dorq-alt";
    const std::string content = readFile(altDorq);
    if (content.empty()) {
      fail("read " + altDorq);
    }
    writeFile(renamed, content, 0755);
    const SetuidCopies alt = sandbox_->setuidCopy(renamed);
    paths_.altSetuid = alt.setuid;
    paths_.altPlain = alt.plain;
  }

  const std::string sudoers = sandbox_->root() + "/sudoers";
  writeFile(sudoers, sudoersText(), kSudoersMode);
  if (chown(sudoers.c_str(), 0, 0) != 0) {
    fail("chown " + sudoers);
  }
  errno = 0;
  if (!bindMount(sudoers, kSudoers)) {
    fail("bind-mount the sudoers file");
  }
  sudoersTarget_ = kSudoers;
  apply(hostIncludes());
}

BenchSystem::~BenchSystem() {
  if (!sudoersTarget_.empty()) {
    umount2(sudoersTarget_.c_str(), MNT_DETACH);
  }
}

const std::string& BenchSystem::hostService(const std::string& name) const {
  static const std::string kNone;
  const auto found = hostTexts_.find(name);
  return found == hostTexts_.end() ? kNone : found->second;
}

ServiceSet BenchSystem::hostIncludes() const {
  ServiceSet set;
  for (const char* name : kHostIncludes) {
    set.emplace_back(name, hostService(name));
  }
  return set;
}

void BenchSystem::apply(const ServiceSet& services) {
  for (const auto& [name, text] : services) {
    const auto found = current_.find(name);
    if (found == current_.end() || found->second != text) {
      sandbox_->writeService(name, text);
      current_[name] = text;
    }
  }
}

}  // namespace dorq_bench

#include "tests/harness/sandbox.h"

#include <crypt.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

#include "tests/harness/probe_report.h"
#include "tests/support/private_ns.h"

namespace dorq_test {
namespace {

// The places the loader finds libpam, under both names.
constexpr const char* kLibpamNames[] = {
    "/usr/lib/x86_64-linux-gnu/libpam.so.0",
    "/usr/lib/x86_64-linux-gnu/libpam.so",
    "/lib/x86_64-linux-gnu/libpam.so.0",
    "/lib/x86_64-linux-gnu/libpam.so",
};

void check(bool ok, const std::string& what) {
  if (!ok) {
    throw std::runtime_error("sandbox: " + what + ": " + strerror(errno));
  }
}

// The lines of the host's system accounts (id below 1000, nobody, nogroup) in
// an account file, whose names are added to `names`; byName: the lines of
// the names already there.
std::string systemLines(const std::string& file, std::set<std::string>& names, bool byName) {
  std::string kept;
  std::istringstream in(readFile(file));
  for (std::string line; std::getline(in, line);) {
    const std::string name = line.substr(0, line.find(':'));
    const size_t idAt = line.find(':', name.size() + 1) + 1;
    const unsigned long id = idAt == 0 ? 1000 : strtoul(line.c_str() + idAt, nullptr, 10);
    if (byName ? names.count(name) != 0 : (id < 1000 || id == 65534)) {
      kept += line + "\n";
      names.insert(name);
    }
  }
  return kept;
}

// Writes text to path with the owner and mode of the real file it replaces.
void writeLike(const std::string& path, const std::string& text, const std::string& real) {
  struct stat st {};
  check(stat(real.c_str(), &st) == 0, "stat " + real);
  writeFile(path, text, st.st_mode & 07777);
  check(chown(path.c_str(), st.st_uid, st.st_gid) == 0 &&
            chmod(path.c_str(), st.st_mode & 07777) == 0,
        "chown/chmod " + path);
}

void makeDir(const std::string& path, mode_t mode, uid_t owner = 0, gid_t group = 0) {
  check((mkdir(path.c_str(), mode) == 0 || errno == EEXIST) && chmod(path.c_str(), mode) == 0 &&
            chown(path.c_str(), owner, group) == 0,
        "mkdir " + path);
}

std::string hashPassword(const std::string& password, HashMethod method) {
  const char* prefix = method == HashMethod::Yescrypt ? "$y$" : "$6$";
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  auto data = std::make_unique<crypt_data>();
  const char* hash = crypt_gensalt_rn(prefix, 0, nullptr, 0, salt, sizeof salt) == nullptr
                         ? nullptr
                         : crypt_rn(password.c_str(), salt, data.get(), sizeof *data);
  check(hash != nullptr && hash[0] != '*', std::string("crypt ") + prefix);
  return hash;
}

// The real files behind the libpam names (links resolved, no duplicates).
std::vector<std::string> libpamFiles() {
  std::vector<std::string> files;
  for (const char* name : kLibpamNames) {
    char real[PATH_MAX];
    if (realpath(name, real) != nullptr &&
        std::find(files.begin(), files.end(), real) == files.end()) {
      files.emplace_back(real);
    }
  }
  return files;
}

}  // namespace

std::string pamDebugService(const std::string& auth, const std::string& acct,
                            const std::string& cred) {
  return "auth requisite pam_debug.so auth=" + auth + " cred=" + cred +
         "\naccount requisite pam_debug.so acct=" + acct + "\n";
}

std::string pamEchoUnixService(const std::string& text) {
  return "auth optional pam_echo.so " + text + "\n" + kPamUnixService;
}

void Sandbox::enterNamespace() {
  static pid_t enteredBy = 0;
  if (enteredBy != getpid()) {
    check(enterPrivateMountNamespace(), "enter a private mount namespace");
    enteredBy = getpid();
  }
}

Sandbox::Sandbox(HashMethod method) {
  enterNamespace();
  std::set<std::string> systemUsers;
  std::string passwd = systemLines("/etc/passwd", systemUsers, false);
  std::string shadow = systemLines("/etc/shadow", systemUsers, true);
  std::set<std::string> groupNames;
  std::string group = systemLines("/etc/group", groupNames, false);
  // Changed today: neither expired nor due for a change (0 would demand one).
  const std::string today = std::to_string(time(nullptr) / 86400);
  makeDir(root() + "/home", 0755);
  for (const SandboxUser& user : {kSchedulerUser, kJobUser, kOtherUser}) {
    const std::string gid = std::to_string(user.group.gid);
    passwd += std::string(user.name) + ":x:" + std::to_string(user.uid) + ":" + gid +
              ":dorq test user:" + home(user) + ":/bin/sh\n";
    shadow += std::string(user.name) + ":" + hashPassword(user.password, method) + ":" + today +
              ":0:99999:7:::\n";
    group += std::string(user.group.name) + ":x:" + gid + ":\n";
    makeDir(home(user), 0755, user.uid, user.group.gid);
  }
  for (const auto& [extra, member] :
       {std::pair{kJobGroupA, kJobUser}, std::pair{kJobGroupB, kJobUser},
        std::pair{kOtherGroup, kOtherUser}}) {
    group += std::string(extra.name) + ":x:" + std::to_string(extra.gid) + ":" + member.name + "\n";
  }
  writeLike(root() + "/passwd", passwd, "/etc/passwd");
  writeLike(root() + "/group", group, "/etc/group");
  writeLike(root() + "/shadow", shadow, "/etc/shadow");
  makeDir(root() + "/pam.d", 0755);
  writeService("other",
               "auth required pam_deny.so\naccount required pam_deny.so\n"
               "password required pam_deny.so\nsession required pam_deny.so\n");
  for (const char* file : {"passwd", "group", "shadow", "pam.d"}) {
    bind(root() + "/" + file, std::string("/etc/") + file);
  }
}

Sandbox::~Sandbox() {
  for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
    umount2(it->c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
  }
}

void Sandbox::bind(const std::string& source, const std::string& target) {
  check(bindMount(source, target), "bind-mount " + source + " over " + target);
  mounts_.push_back(target);
}

std::string Sandbox::home(const SandboxUser& user) const {
  return root() + "/home/" + user.name;
}

void Sandbox::writeService(const std::string& name, const std::string& text) {
  writeFile(root() + "/pam.d/" + name, text, 0644);
}

std::string Sandbox::emptyFile() {
  std::string path = root() + "/empty";
  writeFile(path, "", 0644);
  return path;
}

void Sandbox::hideLibpam() {
  const std::string empty = emptyFile();
  for (const std::string& file : libpamFiles()) {
    bind(empty, file);
  }
}

// Covers the "libpam.so" link itself (its directory resolved, so that "/lib"
// and "/usr/lib" give one entry), not the file it points to: the mount API
// that takes a detached tree does not follow a final symbolic link.
void Sandbox::hideLibpamDevName() {
  const std::string empty = emptyFile();
  for (const std::string path : {kLibpamNames[1], kLibpamNames[3]}) {
    char dir[PATH_MAX];
    struct stat st {};
    const size_t slash = path.rfind('/');
    const std::string link =
        realpath(path.substr(0, slash).c_str(), dir) == nullptr ? "" : dir + path.substr(slash);
    if (link.empty() || lstat(link.c_str(), &st) != 0 ||
        std::find(mounts_.begin(), mounts_.end(), link) != mounts_.end()) {
      continue;
    }
    const int tree = open_tree(AT_FDCWD, empty.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC);
    check(tree >= 0, "open_tree " + empty);
    const int moved = move_mount(tree, "", AT_FDCWD, link.c_str(), MOVE_MOUNT_F_EMPTY_PATH);
    const int error = errno;
    close(tree);
    errno = error;
    check(moved == 0, "move_mount over " + link);
    mounts_.push_back(link);
  }
}

void Sandbox::installLibrary(const std::string& library) {
  check(access(library.c_str(), R_OK) == 0, "read " + library);
  for (const std::string& file : libpamFiles()) {
    bind(library, file);
  }
}

SetuidCopies Sandbox::setuidCopy(const std::string& binary) {
  const std::string bin = root() + "/bin";
  if (mkdir(bin.c_str(), 0755) == 0) {
    check(mountTmpfs(bin), "mount tmpfs on " + bin);
    mounts_.push_back(bin);
  }
  const std::string content = readFile(binary);
  const std::string name = bin + binary.substr(binary.rfind('/'));
  SetuidCopies copies{name, name + "-plain"};
  for (const auto& [path, mode] :
       {std::pair{copies.setuid, 04755U}, std::pair{copies.plain, 0755U}}) {
    writeFile(path, content, 0700);
    // chown clears the set-user-ID bit, so the mode comes after it.
    check(chown(path.c_str(), 0, 0) == 0 && chmod(path.c_str(), mode) == 0, "chown/chmod " + path);
  }
  return copies;
}

SetuidCopies Sandbox::dorqWithPamUnix() {
  check(dorqBinaryPath() != nullptr, "find the dorq under test");
  writeService("su", kPamUnixService);
  writeService("dorq", kPamUnixService);
  return setuidCopy(dorqBinaryPath());
}

}  // namespace dorq_test

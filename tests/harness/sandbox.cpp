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
#include <utility>

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

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("sandbox: " + what + ": " + strerror(errno));
}

// The host's system accounts (id below 1000, or nobody/nogroup) of an
// account file, and for the shadow file the lines of those users.
std::string systemLines(const std::string& file, const std::set<std::string>* users = nullptr,
                        std::set<std::string>* names = nullptr) {
  std::string kept;
  std::istringstream in(readFile(file));
  for (std::string line; std::getline(in, line);) {
    const std::string name = line.substr(0, line.find(':'));
    const size_t idAt = line.find(':', line.find(':') + 1) + 1;
    const unsigned long id = idAt == 0 ? 1000 : strtoul(line.c_str() + idAt, nullptr, 10);
    if (users != nullptr ? users->count(name) != 0 : (id < 1000 || id == 65534)) {
      kept += line + "\n";
      if (names != nullptr) {
        names->insert(name);
      }
    }
  }
  return kept;
}

// Writes text to path with the owner and mode of the real file it replaces.
void writeLike(const std::string& path, const std::string& text, const std::string& real) {
  struct stat st {};
  if (stat(real.c_str(), &st) != 0) {
    fail("stat " + real);
  }
  writeFile(path, text, st.st_mode & 07777);
  if (chown(path.c_str(), st.st_uid, st.st_gid) != 0 || chmod(path.c_str(), st.st_mode & 07777)) {
    fail("chown/chmod " + path);
  }
}

void makeDir(const std::string& path, mode_t mode, uid_t owner = 0, gid_t group = 0) {
  if ((mkdir(path.c_str(), mode) != 0 && errno != EEXIST) || chmod(path.c_str(), mode) != 0 ||
      chown(path.c_str(), owner, group) != 0) {
    fail("mkdir " + path);
  }
}

std::string hashPassword(const std::string& password, HashMethod method) {
  const char* prefix = method == HashMethod::Yescrypt ? "$y$" : "$6$";
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  auto data = std::make_unique<crypt_data>();
  const char* hash = crypt_gensalt_rn(prefix, 0, nullptr, 0, salt, sizeof salt) == nullptr
                         ? nullptr
                         : crypt_rn(password.c_str(), salt, data.get(), sizeof *data);
  if (hash == nullptr || hash[0] == '*') {
    fail(std::string("crypt ") + prefix);
  }
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
         "\n"
         "account requisite pam_debug.so acct=" +
         acct + "\n";
}

std::string pamEchoUnixService(const std::string& text) {
  return "auth optional pam_echo.so " + text + "\n" + kPamUnixService;
}

Sandbox::Mounts::~Mounts() {
  for (auto it = targets_.rbegin(); it != targets_.rend(); ++it) {
    umount2(it->c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
  }
}

void Sandbox::Mounts::bind(const std::string& source, const std::string& target) {
  enterNamespace();
  if (!bindMount(source, target)) {
    fail("bind-mount " + source + " over " + target);
  }
  targets_.push_back(target);
}

// Covers the link itself rather than the file it points to: the mount API
// that takes a detached tree does not follow a final symbolic link.
void Sandbox::Mounts::bindOverLink(const std::string& source, const std::string& link) {
  enterNamespace();
  const int tree = open_tree(AT_FDCWD, source.c_str(), OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC);
  if (tree < 0) {
    fail("open_tree " + source);
  }
  const int moved = move_mount(tree, "", AT_FDCWD, link.c_str(), MOVE_MOUNT_F_EMPTY_PATH);
  const int error = errno;
  close(tree);
  if (moved != 0) {
    errno = error;
    fail("move_mount " + source + " over " + link);
  }
  targets_.push_back(link);
}

void Sandbox::Mounts::tmpfs(const std::string& dir) {
  enterNamespace();
  if (!mountTmpfs(dir)) {
    fail("mount tmpfs on " + dir);
  }
  targets_.push_back(dir);
}

void Sandbox::enterNamespace() {
  static pid_t enteredBy = 0;
  if (enteredBy == getpid()) {
    return;
  }
  if (!enterPrivateMountNamespace()) {
    fail("enter a private mount namespace");
  }
  enteredBy = getpid();
}

Sandbox::Sandbox(HashMethod method) {
  enterNamespace();
  writeAccounts(method);
  makeDir(root() + "/home", 0755);
  for (const SandboxUser& user : {kSchedulerUser, kJobUser, kOtherUser}) {
    makeDir(home(user), 0755, user.uid, user.group.gid);
  }
  makeDir(root() + "/pam.d", 0755);
  writeService("other",
               "auth required pam_deny.so\n"
               "account required pam_deny.so\n"
               "password required pam_deny.so\n"
               "session required pam_deny.so\n");
  for (const char* file : {"passwd", "group", "shadow", "pam.d"}) {
    mounts_.bind(root() + "/" + file, std::string("/etc/") + file);
  }
}

Sandbox::~Sandbox() = default;

std::string Sandbox::home(const SandboxUser& user) const {
  return root() + "/home/" + user.name;
}

void Sandbox::writeAccounts(HashMethod method) {
  std::set<std::string> systemUsers;
  std::string passwd = systemLines("/etc/passwd", nullptr, &systemUsers);
  std::string shadow = systemLines("/etc/shadow", &systemUsers);
  std::string group = systemLines("/etc/group");
  // Changed today: neither expired nor due for a change (0 would demand one).
  const std::string today = std::to_string(time(nullptr) / 86400);
  for (const SandboxUser& user : {kSchedulerUser, kJobUser, kOtherUser}) {
    const std::string uid = std::to_string(user.uid);
    const std::string gid = std::to_string(user.group.gid);
    std::ostringstream line;
    line << user.name << ":x:" << uid << ":" << gid << ":dorq test user:" << home(user)
         << ":/bin/sh\n";
    passwd += line.str();
    shadow += std::string(user.name) + ":" + hashPassword(user.password, method) + ":" + today +
              ":0:99999:7:::\n";
    group += std::string(user.group.name) + ":x:" + gid + ":\n";
  }
  for (const SandboxGroup& extra : {kJobGroupA, kJobGroupB}) {
    group +=
        std::string(extra.name) + ":x:" + std::to_string(extra.gid) + ":" + kJobUser.name + "\n";
  }
  group += std::string(kOtherGroup.name) + ":x:" + std::to_string(kOtherGroup.gid) + ":" +
           kOtherUser.name + "\n";
  writeLike(root() + "/passwd", passwd, "/etc/passwd");
  writeLike(root() + "/group", group, "/etc/group");
  writeLike(root() + "/shadow", shadow, "/etc/shadow");
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
    mounts_.bind(empty, file);
  }
}

// Covers the "libpam.so" link itself (its directory resolved, so that
// "/lib" and "/usr/lib" give one entry), not the file it points to.
void Sandbox::hideLibpamDevName() {
  const std::string empty = emptyFile();
  std::vector<std::string> done;
  for (const char* name : {kLibpamNames[1], kLibpamNames[3]}) {
    const std::string path = name;
    char dir[PATH_MAX];
    struct stat st {};
    const size_t slash = path.rfind('/');
    if (realpath(path.substr(0, slash).c_str(), dir) == nullptr) {
      continue;
    }
    const std::string link = dir + path.substr(slash);
    if (lstat(link.c_str(), &st) == 0 && std::find(done.begin(), done.end(), link) == done.end()) {
      mounts_.bindOverLink(empty, link);
      done.push_back(link);
    }
  }
}

void Sandbox::installLibrary(const std::string& library) {
  if (access(library.c_str(), R_OK) != 0) {
    fail("read " + library);
  }
  for (const std::string& file : libpamFiles()) {
    mounts_.bind(library, file);
  }
}

SetuidCopies Sandbox::setuidCopy(const std::string& binary) {
  const std::string bin = root() + "/bin";
  if (!binMounted_) {
    makeDir(bin, 0755);
    mounts_.tmpfs(bin);
    binMounted_ = true;
  }
  const std::string content = readFile(binary);
  const std::string name = bin + binary.substr(binary.rfind('/'));
  SetuidCopies copies{name, name + "-plain"};
  const std::pair<std::string, mode_t> files[] = {{copies.setuid, 04755}, {copies.plain, 0755}};
  for (const auto& [path, mode] : files) {
    writeFile(path, content, 0700);
    // chown clears the set-user-ID bit, so the mode comes after it.
    if (chown(path.c_str(), 0, 0) != 0 || chmod(path.c_str(), mode) != 0) {
      fail("chown/chmod " + path);
    }
  }
  return copies;
}

}  // namespace dorq_test

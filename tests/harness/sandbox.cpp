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

// Ids up to this bound (and nobody/nogroup) are the host's system accounts.
constexpr unsigned long kFirstRegularId = 1000;
constexpr unsigned long kNobodyId = 65534;

// Where the loader finds libpam on this platform, under both names.
constexpr const char* kLibpamNames[] = {
    "/usr/lib/x86_64-linux-gnu/libpam.so.0",
    "/usr/lib/x86_64-linux-gnu/libpam.so",
    "/lib/x86_64-linux-gnu/libpam.so.0",
    "/lib/x86_64-linux-gnu/libpam.so",
};
constexpr const char* kLibpamDevNames[] = {
    "/usr/lib/x86_64-linux-gnu/libpam.so",
    "/lib/x86_64-linux-gnu/libpam.so",
};

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("sandbox: " + what + ": " + strerror(errno));
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) {
      lines.push_back(line);
    }
  }
  return lines;
}

// Field `index` of a colon-separated account line; empty when missing.
std::string field(const std::string& line, size_t index) {
  size_t start = 0;
  for (size_t i = 0; i < index; ++i) {
    start = line.find(':', start);
    if (start == std::string::npos) {
      return {};
    }
    ++start;
  }
  const size_t end = line.find(':', start);
  return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool isSystemId(const std::string& text) {
  if (text.empty()) {
    return false;
  }
  char* end = nullptr;
  const unsigned long id = strtoul(text.c_str(), &end, 10);
  return *end == '\0' && (id < kFirstRegularId || id == kNobodyId);
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

void makeDir(const std::string& path, mode_t mode) {
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
    fail("mkdir " + path);
  }
  if (chmod(path.c_str(), mode) != 0) {
    fail("chmod " + path);
  }
}

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The path of the link itself with its directory resolved, so that two names
// of one directory ("/lib" and "/usr/lib") give one entry.
std::string resolveDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  char dir[PATH_MAX];
  if (slash == std::string::npos || realpath(path.substr(0, slash).c_str(), dir) == nullptr) {
    return {};
  }
  return std::string(dir) + path.substr(slash);
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

// ---- Mounts ----

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

// ---- Sandbox ----

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
    makeHome(user);
  }
  makeDir(root() + "/pam.d", 0755);
  writeService("other",
               "auth required pam_deny.so\n"
               "account required pam_deny.so\n"
               "password required pam_deny.so\n"
               "session required pam_deny.so\n");
  mounts_.bind(root() + "/passwd", "/etc/passwd");
  mounts_.bind(root() + "/group", "/etc/group");
  mounts_.bind(root() + "/shadow", "/etc/shadow");
  mounts_.bind(root() + "/pam.d", "/etc/pam.d");
}

Sandbox::~Sandbox() = default;

std::string Sandbox::home(const SandboxUser& user) const {
  return root() + "/home/" + user.name;
}

void Sandbox::makeHome(const SandboxUser& user) {
  const std::string dir = home(user);
  makeDir(dir, 0755);
  if (chown(dir.c_str(), user.uid, user.group.gid) != 0) {
    fail("chown " + dir);
  }
}

void Sandbox::writeAccounts(HashMethod method) {
  std::string passwd;
  std::set<std::string> systemUsers;
  for (const std::string& line : splitLines(readFile("/etc/passwd"))) {
    if (isSystemId(field(line, 2))) {
      passwd += line + "\n";
      systemUsers.insert(field(line, 0));
    }
  }
  std::string shadow;
  for (const std::string& line : splitLines(readFile("/etc/shadow"))) {
    if (systemUsers.count(field(line, 0)) != 0) {
      shadow += line + "\n";
    }
  }
  std::string group;
  for (const std::string& line : splitLines(readFile("/etc/group"))) {
    if (isSystemId(field(line, 2))) {
      group += line + "\n";
    }
  }

  // Days since the epoch: a password changed today is neither expired nor
  // due for a change (a 0 here would make the account check demand one).
  const long today = static_cast<long>(time(nullptr) / 86400);
  for (const SandboxUser& user : {kSchedulerUser, kJobUser, kOtherUser}) {
    std::ostringstream line;
    line << user.name << ":x:" << user.uid << ":" << user.group.gid
         << ":dorq test user:" << home(user) << ":/bin/sh\n";
    passwd += line.str();
    shadow += std::string(user.name) + ":" + hashPassword(user.password, method) + ":" +
              std::to_string(today) + ":0:99999:7:::\n";
    group += std::string(user.group.name) + ":x:" + std::to_string(user.group.gid) + ":\n";
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

std::string Sandbox::hashPassword(const std::string& password, HashMethod method) {
  const char* prefix = method == HashMethod::Yescrypt ? "$y$" : "$6$";
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (crypt_gensalt_rn(prefix, 0, nullptr, 0, salt, sizeof salt) == nullptr) {
    fail(std::string("crypt_gensalt ") + prefix);
  }
  auto data = std::make_unique<crypt_data>();
  const char* hash = crypt_rn(password.c_str(), salt, data.get(), sizeof *data);
  if (hash == nullptr || hash[0] == '*') {
    fail(std::string("crypt ") + prefix);
  }
  return hash;
}

void Sandbox::writeService(const std::string& name, const std::string& text) {
  if (name.empty() || name.find('/') != std::string::npos) {
    errno = EINVAL;
    fail("service name '" + name + "'");
  }
  writeFile(root() + "/pam.d/" + name, text, 0644);
}

std::vector<std::string> Sandbox::libpamFiles() {
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

std::string Sandbox::emptyFile() {
  const std::string path = root() + "/empty";
  writeFile(path, "", 0644);
  return path;
}

void Sandbox::hideLibpam() {
  const std::string empty = emptyFile();
  for (const std::string& file : libpamFiles()) {
    mounts_.bind(empty, file);
  }
}

void Sandbox::hideLibpamDevName() {
  const std::string empty = emptyFile();
  std::vector<std::string> done;
  for (const char* name : kLibpamDevNames) {
    struct stat st {};
    const std::string link = resolveDirectory(name);
    if (link.empty() || lstat(link.c_str(), &st) != 0 ||
        std::find(done.begin(), done.end(), link) != done.end()) {
      continue;
    }
    mounts_.bindOverLink(empty, link);
    done.push_back(link);
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
  if (content.empty()) {
    errno = ENOENT;
    fail("read " + binary);
  }
  SetuidCopies copies{bin + "/" + baseName(binary), bin + "/" + baseName(binary) + "-plain"};
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

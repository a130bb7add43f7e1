#include "bench/bench_sandbox.h"

#include <crypt.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>

namespace dorq_bench {
namespace {

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

int removeOne(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

}  // namespace

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& text, unsigned mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  check(chmod(path.c_str(), mode) == 0, "write " + path);
}

bool bindMount(const std::string& source, const std::string& target) {
  return mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

Sandbox::Sandbox(HashMethod method) {
  check(unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0,
        "enter a private mount namespace");
  std::string dir = "/tmp/dorq-bench-XXXXXX";
  check(mkdtemp(dir.data()) != nullptr && chmod(dir.c_str(), 0755) == 0, "mkdtemp");
  root_ = dir;
  std::set<std::string> systemUsers;
  std::string passwd = systemLines("/etc/passwd", systemUsers, false);
  std::string shadow = systemLines("/etc/shadow", systemUsers, true);
  std::set<std::string> groupNames;
  std::string group = systemLines("/etc/group", groupNames, false);
  // Changed today: neither expired nor due for a change (0 would demand one).
  const std::string today = std::to_string(time(nullptr) / 86400);
  makeDir(root() + "/home", 0755);
  for (const SandboxUser& user : {kSchedulerUser, kJobUser}) {
    const std::string gid = std::to_string(user.group.gid);
    passwd += std::string(user.name) + ":x:" + std::to_string(user.uid) + ":" + gid +
              ":dorq test user:" + home(user) + ":/bin/sh\n";
    shadow += std::string(user.name) + ":" + hashPassword(user.password, method) + ":" + today +
              ":0:99999:7:::\n";
    group += std::string(user.group.name) + ":x:" + gid + ":\n";
    makeDir(home(user), 0755, user.uid, user.group.gid);
  }
  for (const SandboxGroup& extra : {kJobGroupA, kJobGroupB}) {
    group +=
        std::string(extra.name) + ":x:" + std::to_string(extra.gid) + ":" + kJobUser.name + "\n";
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
  nftw(root_.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS);
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

SetuidCopies Sandbox::setuidCopy(const std::string& binary) {
  const std::string bin = root() + "/bin";
  if (mkdir(bin.c_str(), 0755) == 0) {
    check(mount("tmpfs", bin.c_str(), "tmpfs", 0, "mode=0755") == 0, "mount tmpfs on " + bin);
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

}  // namespace dorq_bench

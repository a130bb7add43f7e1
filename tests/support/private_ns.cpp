#include "tests/support/private_ns.h"

#include <sched.h>
#include <sys/mount.h>

namespace dorq_test {

bool enterPrivateMountNamespace() {
  if (unshare(CLONE_NEWNS) != 0) {
    return false;
  }
  return mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool bindMount(const std::string& source, const std::string& target) {
  return mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

bool mountTmpfs(const std::string& dir) {
  return mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") == 0;
}

}  // namespace dorq_test

// Private mount namespaces for tests that bind-mount over system files: the
// same as `unshare -m --propagation private`, done from inside the test
// process so that nothing it mounts is seen outside it.
#ifndef DORQ_TESTS_SUPPORT_PRIVATE_NS_H
#define DORQ_TESTS_SUPPORT_PRIVATE_NS_H

#include <string>

namespace dorq_test {

// unshare(CLONE_NEWNS) and make every mount private; false on failure.
bool enterPrivateMountNamespace();
// Bind-mounts source over target (both must exist); false on failure.
bool bindMount(const std::string& source, const std::string& target);
// Mounts a fresh tmpfs (set-user-ID allowed) on dir; false on failure.
bool mountTmpfs(const std::string& dir);

}  // namespace dorq_test

#endif  // DORQ_TESTS_SUPPORT_PRIVATE_NS_H

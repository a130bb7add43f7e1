// Each row is checked once before it is timed, through the test harness's
// runner, so a row that silently does something else (a refused sudo, a job
// without its groups, a PAM stack that is not the one intended) stops the
// benchmark instead of producing a number.
#include <stdexcept>

#include "bench/bench_steps.h"
#include "tests/harness/run_process.h"
#include "tests/harness/sandbox.h"
#include "tests/support/temp_dir.h"

namespace dorq_bench {
namespace {

using dorq_test::kJobGroupA;
using dorq_test::kJobGroupB;
using dorq_test::kJobUser;

constexpr char kIdCommand[] = "/usr/bin/id";

// What `id` prints for the job user with its groups initialised.
std::string expectedIdentity() {
  const std::string user = std::to_string(kJobUser.uid) + "(" + kJobUser.name + ")";
  const std::string group = std::to_string(kJobUser.group.gid) + "(" + kJobUser.group.name + ")";
  return "uid=" + user + " gid=" + group + " groups=" + group + "," +
         std::to_string(kJobGroupA.gid) + "(" + kJobGroupA.name + ")," +
         std::to_string(kJobGroupB.gid) + "(" + kJobGroupB.name + ")\n";
}

dorq_test::ProcessSpec harnessSpec(const LaunchSpec& spec) {
  dorq_test::ProcessSpec process;
  process.binary = spec.binary;
  process.argv = spec.argv;
  process.env = spec.env;
  process.stdinBytes = spec.stdinBytes;
  if (spec.caller) {
    process.identity = dorq_test::Identity{spec.caller->uid, spec.caller->gid, {}};
  }
  return process;
}

[[noreturn]] void rowFailed(const Row& row, const std::string& why,
                            const dorq_test::ProcessResult& result) {
  throw std::runtime_error("check of row '" + row.key + "': " + why + "\n" +
                           dorq_test::describe(result));
}

void checkJobRow(BenchSystem& system, const Row& row) {
  system.apply(row.services);
  const dorq_test::ProcessResult result = dorq_test::runProcess(harnessSpec(row.spec));
  if (!result.exitedWith(0)) {
    rowFailed(row, "did not exit with 0", result);
  }
  if (result.out != expectedIdentity()) {
    rowFailed(row, "the job did not run as " + expectedIdentity(), result);
  }
}

void checkOtherRow(BenchSystem& system, const Row& row) {
  system.apply(row.services);
  const dorq_test::ProcessResult result = dorq_test::runProcess(harnessSpec(row.spec));
  if (!result.exitedWith(row.expectedExit)) {
    rowFailed(row, "did not exit with " + std::to_string(row.expectedExit), result);
  }
}

void checkYescrypt() {
  const std::string shadow = dorq_test::readFile("/etc/shadow");
  const std::string entry = std::string(kJobUser.name) + ":$y$";
  if (shadow.find("\n" + entry) == std::string::npos && shadow.rfind(entry, 0) != 0) {
    throw std::runtime_error("the job user's password is not hashed with yescrypt");
  }
}

void checkPamRefuses(BenchSystem& system, const Row& pamRow) {
  Row wrong = pamRow;
  wrong.spec.argv.back() = std::string(kJobUser.password) + "-wrong";
  system.apply(wrong.services);
  const dorq_test::ProcessResult result = dorq_test::runProcess(harnessSpec(wrong.spec));
  if (!result.exitedWith(1)) {
    rowFailed(wrong, "accepted a wrong password", result);
  }
}

}  // namespace

void checkRows(BenchSystem& system) {
  checkYescrypt();
  for (const Row& row : jobRows(system, {kIdCommand})) {
    checkJobRow(system, row);
  }
  for (const Row& row : otherRows(system)) {
    checkOtherRow(system, row);
    if (row.id == RowId::PamAlone) {
      checkPamRefuses(system, row);
    }
  }
}

}  // namespace dorq_bench

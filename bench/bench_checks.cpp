// Each row is checked once before it is timed, through the checking runner
// (bench_process.h), so a row that silently does something else (a refused
// sudo, a job without its groups, a PAM stack that is not the one intended)
// stops the benchmark instead of producing a number.
#include <stdexcept>

#include "bench/bench_steps.h"
#include "bench/bench_process.h"
#include "bench/bench_sandbox.h"

namespace dorq_bench {
namespace {

constexpr char kIdCommand[] = "/usr/bin/id";

// What `id` prints for the job user with its groups initialised.
std::string expectedIdentity() {
  const std::string user = std::to_string(kJobUser.uid) + "(" + kJobUser.name + ")";
  const std::string group = std::to_string(kJobUser.group.gid) + "(" + kJobUser.group.name + ")";
  return "uid=" + user + " gid=" + group + " groups=" + group + "," +
         std::to_string(kJobGroupA.gid) + "(" + kJobGroupA.name + ")," +
         std::to_string(kJobGroupB.gid) + "(" + kJobGroupB.name + ")\n";
}

ProcessSpec checkSpec(const LaunchSpec& spec) {
  ProcessSpec process;
  process.binary = spec.binary;
  process.argv = spec.argv;
  process.env = spec.env;
  process.stdinBytes = spec.stdinBytes;
  if (spec.caller) {
    process.identity = Identity{spec.caller->uid, spec.caller->gid, {}};
  }
  return process;
}

[[noreturn]] void rowFailed(const Row& row, const std::string& why, const ProcessResult& result) {
  throw std::runtime_error("check of row '" + row.key + "': " + why + "\n" + describe(result));
}

void checkJobRow(BenchSystem& system, const Row& row) {
  system.apply(row.services);
  const ProcessResult result = runProcess(checkSpec(row.spec));
  if (!result.exitedWith(0)) {
    rowFailed(row, "did not exit with 0", result);
  }
  if (result.out != expectedIdentity()) {
    rowFailed(row, "the job did not run as " + expectedIdentity(), result);
  }
}

void checkOtherRow(BenchSystem& system, const Row& row) {
  system.apply(row.services);
  const ProcessResult result = runProcess(checkSpec(row.spec));
  if (!result.exitedWith(row.expectedExit)) {
    rowFailed(row, "did not exit with " + std::to_string(row.expectedExit), result);
  }
}

void checkYescrypt() {
  const std::string shadow = readFile("/etc/shadow");
  const std::string entry = std::string(kJobUser.name) + ":$y$";
  if (shadow.find("\n" + entry) == std::string::npos && shadow.rfind(entry, 0) != 0) {
    throw std::runtime_error("the job user's password is not hashed with yescrypt");
  }
}

void checkPamRefuses(BenchSystem& system, const Row& pamRow) {
  Row wrong = pamRow;
  wrong.spec.argv.back() = std::string(kJobUser.password) + "-wrong";
  system.apply(wrong.services);
  const ProcessResult result = runProcess(checkSpec(wrong.spec));
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

#include "bench/bench_rows.h"

#include "bench/bench_sandbox.h"

namespace dorq_bench {
namespace {

constexpr char kSetpriv[] = "/usr/bin/setpriv";
constexpr char kRunuser[] = "/usr/sbin/runuser";
constexpr char kSudo[] = "/usr/bin/sudo";

Caller scheduler() {
  return Caller{kSchedulerUser.uid, kSchedulerUser.group.gid};
}

ServiceSet dorqServices(const char* text) {
  return {{"su", text}, {"dorq", text}};
}

std::vector<std::string> joined(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

Row dorqRow(const std::string& binary, RowId id, std::string key, std::string label, int flags,
            const char* service, const std::vector<std::string>& job) {
  Row row{id, std::move(key), std::move(label), kSchedulerUser.name, {}, dorqServices(service)};
  row.spec.binary = binary;
  row.spec.argv = {binary};
  row.spec.stdinBytes = jobRequest(flags, job);
  row.spec.caller = scheduler();
  row.runsJob = true;
  return row;
}

Row runuserRow(RowId id, std::string key, std::string label, ServiceSet services,
               const std::vector<std::string>& job) {
  Row row{id, std::move(key), std::move(label), "root", {}, std::move(services)};
  row.spec.binary = kRunuser;
  row.spec.argv = joined({"runuser", "-u", kJobUser.name, "--"}, job);
  row.runsJob = true;
  return row;
}

Row sudoRow(RowId id, std::string key, std::string label, ServiceSet services,
            const std::vector<std::string>& job) {
  Row row{id, std::move(key), std::move(label), kSchedulerUser.name, {}, std::move(services)};
  row.spec.binary = kSudo;
  row.spec.argv = joined({"sudo", "-n", "-u", kJobUser.name, "--"}, job);
  row.spec.caller = scheduler();
  row.runsJob = true;
  return row;
}

}  // namespace

std::string jobRequest(int flags, const std::vector<std::string>& job) {
  std::string record = std::string(kJobUser.name) + "\n" + kJobUser.password + "\n" +
                       std::to_string(flags) + "\n" + job.at(0) + "\n" +
                       std::to_string(job.size() - 1) + "\n";
  for (size_t i = 1; i < job.size(); ++i) {
    record += job[i] + "\n";
  }
  return record;
}

std::vector<Row> jobRows(const BenchSystem& system, const std::vector<std::string>& job) {
  std::vector<Row> rows;
  Row setpriv{RowId::Setpriv, "setpriv", "setpriv --reuid --regid --init-groups", "root"};
  setpriv.spec.binary = kSetpriv;
  setpriv.spec.argv = joined({"setpriv", std::string("--reuid=") + kJobUser.name,
                              std::string("--regid=") + kJobUser.name, "--init-groups", "--"},
                             job);
  setpriv.runsJob = true;
  rows.push_back(std::move(setpriv));

  const std::string& dorq = system.paths().dorqSetuid;
  rows.push_back(dorqRow(dorq, RowId::DorqBlocking, "dorq-blocking",
                         "dorq, pam_permit, blocking (flags 4)", kFlagsBlocking, kPamPermitService,
                         job));
  rows.push_back(dorqRow(dorq, RowId::DorqPolling, "dorq-polling",
                         "dorq, pam_permit, polling (flags 0)", kFlagsPolling, kPamPermitService,
                         job));
  rows.push_back(dorqRow(dorq, RowId::DorqUnix, "dorq-unix",
                         "dorq, pam_unix yescrypt, polling (flags 0)", kFlagsPolling,
                         kPamUnixService, job));
  rows.push_back(runuserRow(RowId::RunuserPermit, "runuser-permit", "runuser -u, pam_permit",
                            {{"runuser", kPermitAllService}}, job));
  rows.push_back(sudoRow(RowId::SudoPermit, "sudo-permit", "sudo -u, pam_permit",
                         {{"sudo", kPermitAllService}}, job));
  rows.push_back(runuserRow(RowId::RunuserHost, "runuser-host", "runuser -u, Debian's PAM text",
                            {{"runuser", system.hostService("runuser")}}, job));
  rows.push_back(sudoRow(RowId::SudoHost, "sudo-host", "sudo -u, Debian's PAM text",
                         {{"sudo", system.hostService("sudo")}}, job));
  const std::string& alt = system.paths().altSetuid;
  if (!alt.empty()) {
    rows.push_back(dorqRow(alt, RowId::AltBlocking, "alt-blocking",
                           "alt dorq, pam_permit, blocking (flags 4)", kFlagsBlocking,
                           kPamPermitService, job));
    rows.push_back(dorqRow(alt, RowId::AltPolling, "alt-polling",
                           "alt dorq, pam_permit, polling (flags 0)", kFlagsPolling,
                           kPamPermitService, job));
    rows.push_back(dorqRow(alt, RowId::AltUnix, "alt-unix",
                           "alt dorq, pam_unix yescrypt, polling (flags 0)", kFlagsPolling,
                           kPamUnixService, job));
  }
  return rows;
}

std::vector<Row> otherRows(const BenchSystem& system) {
  std::vector<Row> rows;
  Row pam{RowId::PamAlone, "pam-alone", "PAM check alone, pam_unix yescrypt (process)",
          "root",          {},          {{kPamCheckService, kPamUnixService}}};
  pam.spec.binary = system.paths().pamCheck;
  pam.spec.argv = {"dorq_bench_pam", kPamCheckService, kJobUser.name, kJobUser.password};
  pam.spec.captureStdout = true;
  rows.push_back(std::move(pam));

  Row null{RowId::NullStart, "null-start", "do-nothing C program (set-user-ID)",
           kSchedulerUser.name};
  null.spec.binary = system.paths().nullSetuid;
  null.spec.argv = {system.paths().nullSetuid};
  null.spec.caller = scheduler();
  rows.push_back(std::move(null));

  Row start{RowId::DorqStart, "dorq-start", "dorq, empty request (set-user-ID)",
            kSchedulerUser.name};
  start.spec.binary = system.paths().dorqSetuid;
  start.spec.argv = {system.paths().dorqSetuid};
  start.spec.caller = scheduler();
  start.expectedExit = kStatusInputEnded;
  if (!system.paths().altSetuid.empty()) {
    Row alt = start;
    alt.id = RowId::AltStart;
    alt.key = "alt-start";
    alt.label = "alt dorq, empty request (set-user-ID)";
    alt.spec.binary = system.paths().altSetuid;
    alt.spec.argv = {system.paths().altSetuid};
    rows.push_back(std::move(start));
    rows.push_back(std::move(alt));
    return rows;
  }
  rows.push_back(std::move(start));
  return rows;
}

}  // namespace dorq_bench

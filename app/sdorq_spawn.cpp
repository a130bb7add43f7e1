// Making the job's child: how (decided once, with its reason, into the
// plan) and on what memory.
#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <linux/sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "app/dorq_trace.h"
#include "app/sdorq_exec.h"

namespace {

// The child's own stack: as large as a main thread's usual one (the path
// search keeps its work on the stack, an argument vector long), with a
// guard page below it. Only the pages the child touches are ever backed.
constexpr size_t kChildStackSize = 8U << 20U;
constexpr size_t kGuardSize = 4096;
constexpr size_t kMappingSize = kChildStackSize + kGuardSize;

// The mapping, or null.
void* mapStack() {
  void* base = mmap(nullptr, kMappingSize, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) {
    return nullptr;
  }
  if (mprotect(base, kGuardSize, PROT_NONE) != 0) {
    (void)munmap(base, kMappingSize);
    return nullptr;
  }
  return base;
}

int childEntry(void* plan) {
  sdorqRunChild(*static_cast<const ChildPlan*>(plan));
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

}  // namespace

// The child makes only system calls until its exec or _exit, so by default
// it shares dorq's memory (clone with CLONE_VM): no page tables are copied,
// and it runs on a stack of its own, which lives as long as the ChildSpawn.
// dorq does not wait in the clone for the exec (no CLONE_VFORK): a child
// stopped by the user between its identity switch and its exec must not
// hold dorq, which goes on watching its caller. A job with a cgroup is born
// in it (clone3 with CLONE_INTO_CGROUP): moving a process in later costs the
// kernel far more than copying dorq's few page tables. With execution detail
// traced the child writes trace lines through the C library, which needs a
// memory of its own: fork. So does a child of the AddressSanitizer build,
// whose runtime keeps one stack per thread.
SpawnChoice sdorqChooseSpawn(bool withCgroup) {
  if (withCgroup) {
    return {SpawnKind::IntoCgroup, "the job is born into its cgroup"};
  }
  if ((static_cast<uint32_t>(dorqTraceLevel) & kTraceExec) != 0) {
    return {SpawnKind::Fork, "execution detail is traced"};
  }
  if (kSanitized) {
    return {SpawnKind::Fork, "the sanitizer runtime needs a memory per process"};
  }
  return {SpawnKind::SharedMemory, "the child makes only system calls"};
}

ChildSpawn::ChildSpawn(const ChildPlan& plan) {
  if (plan.spawn.kind == SpawnKind::IntoCgroup) {
    clone_args args{};
    args.flags = CLONE_INTO_CGROUP;
    args.exit_signal = SIGCHLD;
    args.cgroup = static_cast<uint64_t>(plan.cgroupDir);
    const long pid = syscall(SYS_clone3, &args, sizeof args);
    if (pid == 0) {
      sdorqRunChild(plan);
    }
    if (pid > 0) {
      pid_ = static_cast<pid_t>(pid);
      inCgroup_ = true;
      return;
    }
    spawn(plan, sdorqChooseSpawn(false).kind);
    return;
  }
  spawn(plan, plan.spawn.kind);
}

void ChildSpawn::spawn(const ChildPlan& plan, SpawnKind kind) {
  if (kind != SpawnKind::SharedMemory) {
    pid_ = fork();
    if (pid_ == 0) {
      sdorqRunChild(plan);
    }
    return;
  }
  stack_ = mapStack();
  if (stack_ == nullptr) {
    errno = ENOMEM;
    return;
  }
  // The stack grows down from its top.
  void* top = static_cast<char*>(stack_) + kMappingSize;
  pid_ = clone(childEntry, top, CLONE_VM | SIGCHLD, const_cast<ChildPlan*>(&plan));
}

ChildSpawn::~ChildSpawn() {
  if (stack_ != nullptr) {
    (void)munmap(stack_, kMappingSize);
  }
}

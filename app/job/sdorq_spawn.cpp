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

#include "app/trace/dorq_trace.h"
#include "app/job/sdorq_exec.h"

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

// clone3 for a child that shares dorq's memory and starts on a stack of its
// own: the C library has no such entry, and a C function cannot go on in the
// child once the stack has changed under it. The child calls entry(argument)
// on its new stack and ends with its result; the parent gets the pid, or -1
// with errno set. Where it is not written (other than x86-64), a job with a
// cgroup is forked into it instead.
#if defined(__x86_64__)
constexpr bool kSharedCloneIntoCgroup = true;
extern "C" long dorqCloneShared(clone_args* args, size_t size, int (*entry)(void*), void* argument);
asm(R"(
  .text
  .p2align 4
  .type dorqCloneShared,@function
dorqCloneShared:
  movq %rdx, %r8
  movq %rcx, %r9
  movl $435, %eax
  syscall
  testq %rax, %rax
  jnz 1f
  xorl %ebp, %ebp
  movq %r9, %rdi
  call *%r8
  movl %eax, %edi
  movl $60, %eax
  syscall
  hlt
1:
  ret
  .size dorqCloneShared, .-dorqCloneShared
)");

pid_t cloneShared(clone_args* args, const ChildPlan& plan) {
  const long result =
      dorqCloneShared(args, sizeof *args, childEntry, const_cast<ChildPlan*>(&plan));
  constexpr long kLastError = -4095;
  if (result < 0 && result >= kLastError) {
    errno = static_cast<int>(-result);
    return -1;
  }
  return static_cast<pid_t>(result);
}
#else
constexpr bool kSharedCloneIntoCgroup = false;
#endif

}  // namespace

// The child makes only system calls until its exec or _exit, so by default
// it shares dorq's memory (clone with CLONE_VM): no page tables are copied,
// and it runs on a stack of its own, which lives as long as the ChildSpawn.
// dorq does not wait in the clone for the exec (no CLONE_VFORK): a child
// stopped by the user between its identity switch and its exec must not
// hold dorq, which goes on watching its caller. With execution detail
// traced the child writes trace lines through the C library, which needs a
// memory of its own: fork. So does a child of the AddressSanitizer build,
// whose runtime keeps one stack per thread.
SpawnChoice sdorqChooseSpawn(bool withCgroup) {
  if ((static_cast<uint32_t>(dorqTraceLevel) & kTraceExec) != 0) {
    return {SpawnKind::Fork, "execution detail is traced", withCgroup};
  }
  if (kSanitized) {
    return {SpawnKind::Fork, "the sanitizer runtime needs a memory per process", withCgroup};
  }
  if (withCgroup && !kSharedCloneIntoCgroup) {
    return {SpawnKind::Fork, "no shared-memory clone into a cgroup here", withCgroup};
  }
  return {SpawnKind::SharedMemory, "the child makes only system calls", withCgroup};
}

ChildSpawn::ChildSpawn(const ChildPlan& plan) {
  if (plan.spawn.intoCgroup) {
    spawn(plan, plan.cgroupDir);
    if (pid_ >= 0) {
      inCgroup_ = true;
      return;
    }
  }
  // Without a cgroup, or on a kernel that cannot make a child into one.
  spawn(plan, -1);
}

// A job with a cgroup is born into it (clone3 with CLONE_INTO_CGROUP):
// moving a process in later waits for the kernel's grace period, far longer
// than the whole start.
void ChildSpawn::spawn(const ChildPlan& plan, int cgroupDir) {
  clone_args args{};
  args.exit_signal = SIGCHLD;
  if (cgroupDir >= 0) {
    args.flags = CLONE_INTO_CGROUP;
    args.cgroup = static_cast<uint64_t>(cgroupDir);
  }
  if (plan.spawn.kind == SpawnKind::Fork) {
    const long pid = cgroupDir >= 0 ? syscall(SYS_clone3, &args, sizeof args) : fork();
    if (pid == 0) {
      sdorqRunChild(plan);
    }
    pid_ = static_cast<pid_t>(pid);
    return;
  }
  if (stack_ == nullptr) {
    stack_ = mapStack();
  }
  if (stack_ == nullptr) {
    errno = ENOMEM;
    return;
  }
#if defined(__x86_64__)
  if (cgroupDir >= 0) {
    // The kernel starts the child at the stack's top, which is 16-byte
    // aligned as the call in the child needs.
    args.flags |= CLONE_VM;
    args.stack = reinterpret_cast<uint64_t>(stack_);
    args.stack_size = kMappingSize;
    pid_ = cloneShared(&args, plan);
    return;
  }
#endif
  // The stack grows down from its top.
  void* top = static_cast<char*>(stack_) + kMappingSize;
  pid_ = clone(childEntry, top, CLONE_VM | SIGCHLD, const_cast<ChildPlan*>(&plan));
}

ChildSpawn::~ChildSpawn() {
  if (stack_ != nullptr) {
    (void)munmap(stack_, kMappingSize);
  }
}

// One move-only owner for every resource the program holds: a descriptor, a
// C stream, a loader handle, a directory stream, a heap block. A traits type
// names the handle, its invalid value and how it is released. The owner
// releases it exactly once, on every path, and leaves errno as it found it;
// ownership leaves only through release(), whose result must be taken.
#ifndef DORQ_PORT_UNIQUE_HANDLE_H
#define DORQ_PORT_UNIQUE_HANDLE_H

#include <dirent.h>
#include <stddef.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "port/ss_wrappers.h"

template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ~UniqueHandle() { reset(); }

  Handle get() const { return handle_; }
  bool valid() const { return handle_ != Traits::kInvalid; }
  // Hands the resource over to the caller, who must release it.
  [[nodiscard]] Handle release() {
    const Handle handle = handle_;
    handle_ = Traits::kInvalid;
    return handle;
  }
  // Releases what is held (errno unchanged) and takes handle.
  void reset(Handle handle = Traits::kInvalid) {
    if (valid()) {
      const int savedErrno = errno;
      (void)Traits::release(handle_);
      errno = savedErrno;
    }
    handle_ = handle;
  }
  // Releases now and reports the release's own result (0, or -1 with errno
  // set), for the few callers that act on a failed close.
  int close() {
    const Handle handle = release();
    return handle == Traits::kInvalid ? 0 : Traits::release(handle);
  }

 private:
  Handle handle_ = Traits::kInvalid;
};

struct FdTraits {
  using Handle = int;
  static constexpr Handle kInvalid = -1;
  static int release(Handle fd) { return ::close(fd); }
};
using UniqueFd = UniqueHandle<FdTraits>;

// A C stream opened through the wrappers is closed through them.
struct StreamTraits {
  using Handle = FILE*;
  static constexpr std::nullptr_t kInvalid = nullptr;
  static int release(Handle stream) { return ssOswFclose(stream); }
};
using UniqueStream = UniqueHandle<StreamTraits>;

struct LoaderTraits {
  using Handle = void*;
  static constexpr std::nullptr_t kInvalid = nullptr;
  static int release(Handle library) { return dlclose(library); }
};
using UniqueLibrary = UniqueHandle<LoaderTraits>;

struct DirTraits {
  using Handle = DIR*;
  static constexpr std::nullptr_t kInvalid = nullptr;
  static int release(Handle dir) { return closedir(dir); }
};
using UniqueDir = UniqueHandle<DirTraits>;

// A block of memory, released by Free: the C library's allocator (UniqueHeap)
// or the allocation wrappers (UniqueMem).
template <typename T, void (*Free)(void*)>
struct BlockTraits {
  using Handle = T*;
  static constexpr std::nullptr_t kInvalid = nullptr;
  static int release(Handle block) {
    Free(block);
    return 0;
  }
};
template <typename T>
using UniqueHeap = UniqueHandle<BlockTraits<T, free>>;
template <typename T>
using UniqueMem = UniqueHandle<BlockTraits<T, ssMemFree>>;

#endif  // DORQ_PORT_UNIQUE_HANDLE_H

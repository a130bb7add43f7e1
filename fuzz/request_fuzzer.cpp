// The request record on standard input. The fuzzer's bytes are the whole of
// standard input: they go through the real reader from a memory stream and
// from a file, the record it builds is compared with an independent reading
// of the same bytes by the intake rules, and then released.
//
// A count of -3 or lower (or a large positive one) asks for a vector of
// billions of slots. The real program gets a null pointer back and status 2;
// here the sanitizer allocator is made to answer every request above
// kVectorCapMb with a null pointer (max_allocation_size_mb), which exercises
// exactly that path, and keeps libFuzzer's malloc limit (rss_limit_mb, 2048 by
// default) from ever seeing such a request, so it is never reported as an
// out-of-memory finding. A vector at or below the cap is really allocated.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/driver/dorq_driver.h"
#include "app/base/dorq_status.h"
#include "fuzz/fuzz_support.h"

#define DORQ_FUZZ_STR2(x) #x
#define DORQ_FUZZ_STR(x) DORQ_FUZZ_STR2(x)
#define DORQ_FUZZ_VECTOR_CAP_MB 256

extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:detect_leaks=1:max_allocation_size_mb=" DORQ_FUZZ_STR(
      DORQ_FUZZ_VECTOR_CAP_MB);
}

namespace {

constexpr uint64_t kVectorCapBytes = uint64_t{DORQ_FUZZ_VECTOR_CAP_MB} << 20;

// What the reader should make of the bytes.
struct Expected {
  DorqStatus status = DorqStatus::Ok;
  bool badCount = false;  // the count of -2, refused with a word of its own
  std::string user, password, path;
  int flags = 0;
  uint32_t slots = 0;
  std::vector<std::string> arguments;  // slots 1 .. slots - 2
};

// The C library's atoi: strtol, whose long is then cut to int.
int atoiRule(const std::string& text) {
  return static_cast<int>(static_cast<int32_t>(strtol(text.c_str(), nullptr, 10)));
}

// One read of at most kRequestLineBuffer - 1 bytes, up to and including a
// newline, as fgets does it; the text ends at its first NUL, and one newline
// at its end (by strlen) is removed.
DorqStatus readModelLine(std::string_view in, size_t& at, std::string* text) {
  if (at >= in.size()) {
    return DorqStatus::InputEnded;
  }
  const size_t most = std::min(in.size() - at, kRequestLineBuffer - 1);
  std::string_view chunk = in.substr(at, most);
  if (const size_t newline = chunk.find('\n'); newline != std::string_view::npos) {
    chunk = chunk.substr(0, newline + 1);
  }
  at += chunk.size();
  // The byte at kRequestLineMax of the zero-filled buffer: the chunk's own
  // byte there, or the buffer's zero when the chunk is shorter.
  const char last = chunk.size() > kRequestLineMax ? chunk[kRequestLineMax] : '\0';
  if (last != '\0' && last != '\n') {
    return DorqStatus::LineTooLong;
  }
  std::string_view line = chunk.substr(0, std::min(chunk.find('\0'), chunk.size()));
  if (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
  }
  text->assign(line);
  return DorqStatus::Ok;
}

Expected readModel(std::string_view in) {
  Expected e;
  size_t at = 0;
  std::string flags, count;
  for (std::string* line : {&e.user, &e.password, &flags, &e.path, &count}) {
    e.status = readModelLine(in, at, line);
    if (e.status != DorqStatus::Ok) {
      return e;
    }
  }
  e.flags = atoiRule(flags);
  const int n = atoiRule(count);
  e.slots = static_cast<uint32_t>(n) + 2U;
  e.badCount = e.slots == 0;
  if (e.slots == 0 || uint64_t{e.slots} * sizeof(char*) > kVectorCapBytes) {
    e.status = DorqStatus::NoMemory;
    return e;
  }
  for (uint32_t slot = 1; slot + 1 < e.slots; ++slot) {
    std::string argument;
    e.status = readModelLine(in, at, &argument);
    if (e.status != DorqStatus::Ok) {
      return e;
    }
    e.arguments.push_back(std::move(argument));
  }
  return e;
}

bool isEmpty(const DorqRequest& r) {
  return r.user == nullptr && r.password == nullptr && r.path == nullptr && r.argv == nullptr &&
         r.slots == 0;
}

void checkRecord(const DorqRequest& r, const Expected& e) {
  FUZZ_CHECK(r.user != nullptr && e.user == r.user);
  FUZZ_CHECK(r.password != nullptr && e.password == r.password);
  FUZZ_CHECK(r.path != nullptr && e.path == r.path);
  FUZZ_CHECK(r.flags == e.flags);
  FUZZ_CHECK(r.slots == e.slots);
  FUZZ_CHECK(r.argv != nullptr);
  // Count -1: the terminator itself is slot 0 of a one-slot vector, and the
  // path is passed on by itself.
  if (r.slots == 1) {
    FUZZ_CHECK(r.argv[0] == nullptr);
    return;
  }
  FUZZ_CHECK(r.argv[0] == r.path);
  for (uint32_t slot = 1; slot + 1 < r.slots; ++slot) {
    FUZZ_CHECK(r.argv[slot] != nullptr && e.arguments[slot - 1] == r.argv[slot]);
  }
  FUZZ_CHECK(r.argv[r.slots - 1] == nullptr);
}

// Reads the request from in and checks what the reader made of it.
void readAndCheck(FILE* in, const Expected& expected) {
  DorqRequest request;
  memset(&request, 0xA5, sizeof request);  // the reader must not rely on a clean record
  const char* reason = nullptr;
  const DorqStatus status = dorqReadRequest(in, &request, &reason);

  FUZZ_CHECK(status == expected.status);
  FUZZ_CHECK((reason != nullptr) == expected.badCount);
  if (status == DorqStatus::Ok) {
    checkRecord(request, expected);
    // The vector the command would get: slot 0 is the path, and the first
    // null ends it within the vector (count -1 leaves it empty).
    for (uint32_t slot = 0; slot < request.slots && request.argv[slot] != nullptr; ++slot) {
      FUZZ_CHECK(slot + 1 < request.slots);
    }
  } else {
    FUZZ_CHECK(isEmpty(request));
  }
  dorqReleaseRequest(&request);
  FUZZ_CHECK(isEmpty(request));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const Expected expected = readModel(bytes);

  // A memory stream reads a private copy, a byte at a time as from a pipe,
  // NUL bytes included; where it stopped is what the reader consumed.
  std::vector<char> copy(bytes.begin(), bytes.end());
  FILE* in = fmemopen(copy.data(), copy.size(), "r");
  FUZZ_CHECK(in != nullptr);
  readAndCheck(in, expected);
  const long consumed = ftell(in);
  fclose(in);

  // The same bytes in a file, read a block at a time: the same outcome, and
  // the offset the job would inherit just after what the byte reads took.
  const int fd = memfd_create("request", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, copy.data(), copy.size()) == static_cast<ssize_t>(copy.size()));
  FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
  FILE* file = fdopen(fd, "r");
  FUZZ_CHECK(file != nullptr);
  readAndCheck(file, expected);
  FUZZ_CHECK(lseek(fd, 0, SEEK_CUR) == consumed);
  fclose(file);
  return 0;
}

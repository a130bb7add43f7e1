// The request record on standard input: user, password, flags, command path,
// argument count and one line per argument.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/driver/dorq_driver.h"
#include "app/base/dorq_numbers.h"
#include "app/base/dorq_status.h"
#include "port/ss_wrappers.h"

namespace {

// The bytes of a line buffer that a read may have written: up to and
// including the newline, or all of it when there is none. (A NUL inside the
// line does not end the bytes behind it.) Only what was written is wiped, so
// that the untouched pages of a fresh buffer stay untouched.
size_t lineExtent(const char* buffer) {
  const void* newline = memchr(buffer, '\n', kRequestLineBuffer);
  return newline == nullptr ? kRequestLineBuffer
                            : static_cast<size_t>(static_cast<const char*>(newline) - buffer) + 1;
}

// Releases a line buffer that may hold a secret, wiped first.
void releaseSecret(char* buffer) {
  explicit_bzero(buffer, lineExtent(buffer));
  free(buffer);
}

// Reads one line into a new zero-filled buffer and removes one trailing
// newline. A NUL byte inside the line ends it for every later use. With
// extent (the password's line) the buffer is wiped on every failure, and
// *extent says how much of it the line took.
DorqStatus readLine(FILE* in, char** out, size_t* extent = nullptr) {
  *out = nullptr;
  char* buffer = static_cast<char*>(calloc(1, kRequestLineBuffer));
  if (buffer == nullptr) {
    return DorqStatus::NoMemory;
  }
  const bool got = fgets(buffer, static_cast<int>(kRequestLineBuffer), in) != nullptr;
  // fgets stops after kRequestLineBuffer - 1 characters: when the character
  // at kRequestLineMax is neither the end nor the newline, the line is longer
  // than allowed.
  const char last = buffer[kRequestLineMax];
  const bool tooLong = got && last != '\0' && last != '\n';
  if (!got || tooLong) {
    if (extent != nullptr) {
      releaseSecret(buffer);
    } else {
      free(buffer);
    }
    return got ? DorqStatus::LineTooLong : DorqStatus::InputEnded;
  }
  if (extent != nullptr) {
    *extent = lineExtent(buffer);
  }
  const size_t length = strlen(buffer);
  if (length > 0 && buffer[length - 1] == '\n') {
    buffer[length - 1] = '\0';
  }
  *out = buffer;
  return DorqStatus::Ok;
}

// Reads a line and converts it by the atoi rules; the line is released.
DorqStatus readNumberLine(FILE* in, int* value) {
  char* line = nullptr;
  const DorqStatus status = readLine(in, &line);
  if (status == DorqStatus::Ok) {
    *value = dorqAtoi(line);
    free(line);
  }
  return status;
}

// The vector has count + 2 slots, computed as an unsigned 32-bit value, so a
// count of -1 leaves one slot (the terminator in slot 0) and a count of -3 or
// lower asks for billions of slots. A count of -2 would ask for none: it is
// refused with the allocation's status, under a reason word of its own.
DorqStatus allocateVector(int count, DorqRequest* request, const char** reason) {
  const uint32_t slots = static_cast<uint32_t>(count) + 2U;
  if (slots == 0) {
    *reason = kReasonBadArgumentCount;
    return DorqStatus::NoMemory;
  }
  request->argv = static_cast<char**>(calloc(slots, sizeof(char*)));
  if (request->argv == nullptr) {
    return DorqStatus::NoMemory;
  }
  request->slots = slots;
  request->argv[0] = request->path;
  return DorqStatus::Ok;
}

// Fills slots 1 to slots - 2 with argument lines, then puts the terminator in
// the last slot.
DorqStatus readArguments(FILE* in, DorqRequest* request) {
  const uint32_t last = request->slots - 1;
  for (uint32_t slot = 1; slot < last; ++slot) {
    const DorqStatus status = readLine(in, &request->argv[slot]);
    if (status != DorqStatus::Ok) {
      return status;
    }
  }
  request->argv[last] = nullptr;
  return DorqStatus::Ok;
}

DorqStatus readFixedLines(FILE* in, DorqRequest* request, int* count) {
  DorqStatus status = readLine(in, &request->user);
  if (status == DorqStatus::Ok) {
    status = readLine(in, &request->password, &request->passwordExtent);
  }
  if (status == DorqStatus::Ok) {
    status = readNumberLine(in, &request->flags);
  }
  if (status == DorqStatus::Ok) {
    status = readLine(in, &request->path);
  }
  if (status == DorqStatus::Ok) {
    status = readNumberLine(in, count);
  }
  return status;
}

DorqStatus readRecord(FILE* in, DorqRequest* request, const char** reason) {
  int count = 0;
  DorqStatus status = readFixedLines(in, request, &count);
  if (status == DorqStatus::Ok) {
    status = allocateVector(count, request, reason);
  }
  if (status == DorqStatus::Ok) {
    status = readArguments(in, request);
  }
  if (status != DorqStatus::Ok) {
    dorqReleaseRequest(request);
  }
  return status;
}

// A request in a regular file is read a block at a time instead of a byte at
// a time: through a stream of its own on a duplicate of the descriptor, with
// a buffer on this stack that is wiped afterwards (it held the password),
// after which the shared offset is put back right after the record's last
// line, where the job will read on. Only a regular file: a device may answer
// lseek and still lose what was read ahead. False, with nothing read, when
// the input is no regular file or the stream cannot be had.
constexpr size_t kFileBlock = 4096;

bool readRegularFile(FILE* in, DorqRequest* request, const char** reason, DorqStatus* status) {
  const int fd = fileno(in);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return false;
  }
  UniqueFd copy(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  UniqueStream stream(copy.valid() ? ssOswFdopen(copy.get(), "r") : nullptr);
  if (!stream.valid()) {
    return false;
  }
  (void)copy.release();  // the stream owns it now
  char block[kFileBlock];
  if (setvbuf(stream.get(), block, _IOFBF, sizeof block) != 0) {
    return false;
  }
  *status = readRecord(stream.get(), request, reason);
  const off_t end = ftello(stream.get());
  stream.reset();
  explicit_bzero(block, sizeof block);
  const bool placed = end >= 0 && lseek(fd, end, SEEK_SET) == end;
  if (!placed && *status == DorqStatus::Ok) {
    // The job would read from the wrong place: refused like input that ends.
    dorqReleaseRequest(request);
    *status = DorqStatus::InputEnded;
  }
  return true;
}

}  // namespace

DorqStatus dorqReadRequest(FILE* in, DorqRequest* request, const char** reason) {
  *request = DorqRequest{};
  *reason = nullptr;
  DorqStatus status = DorqStatus::Ok;
  if (readRegularFile(in, request, reason, &status)) {
    return status;
  }
  // Unbuffered, so that exactly the request's bytes are consumed: whatever
  // follows the last request line stays for the job to read.
  setvbuf(in, nullptr, _IONBF, 0);
  return readRecord(in, request, reason);
}

void dorqWipePassword(DorqRequest* request) {
  if (request->password != nullptr) {
    explicit_bzero(request->password, request->passwordExtent);
  }
}

void dorqReleaseRequest(DorqRequest* request) {
  dorqWipePassword(request);
  free(request->user);
  free(request->password);
  free(request->path);
  if (request->argv != nullptr) {
    for (uint32_t slot = 1; slot < request->slots && request->argv[slot] != nullptr; ++slot) {
      free(request->argv[slot]);
    }
    free(request->argv);
  }
  *request = DorqRequest{};
}

int RequestTraits::release(DorqRequest* request) {
  dorqReleaseRequest(request);
  return 0;
}

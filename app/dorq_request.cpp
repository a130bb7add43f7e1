// The request record on standard input: user, password, flags, command path,
// argument count and one line per argument.
#include <stdlib.h>
#include <string.h>

#include "app/dorq_driver.h"
#include "app/dorq_numbers.h"
#include "app/dorq_status.h"

namespace {

// Reads one line into a new zero-filled buffer and removes one trailing
// newline. A NUL byte inside the line ends it for every later use.
uint32_t readLine(FILE* in, char** out) {
  *out = nullptr;
  char* buffer = static_cast<char*>(calloc(1, kRequestLineBuffer));
  if (buffer == nullptr) {
    return kStatusNoMemory;
  }
  if (fgets(buffer, static_cast<int>(kRequestLineBuffer), in) == nullptr) {
    free(buffer);
    return kStatusInputEnded;
  }
  // fgets stops after kRequestLineBuffer - 1 characters: when the character
  // at kRequestLineMax is neither the end nor the newline, the line is longer
  // than allowed.
  const char last = buffer[kRequestLineMax];
  if (last != '\0' && last != '\n') {
    explicit_bzero(buffer, kRequestLineBuffer);  // it may be the password's line
    free(buffer);
    return kStatusLineTooLong;
  }
  const size_t length = strlen(buffer);
  if (length > 0 && buffer[length - 1] == '\n') {
    buffer[length - 1] = '\0';
  }
  *out = buffer;
  return kStatusOk;
}

// Reads a line and converts it by the atoi rules; the line is released.
uint32_t readNumberLine(FILE* in, int* value) {
  char* line = nullptr;
  const uint32_t status = readLine(in, &line);
  if (status == kStatusOk) {
    *value = dorqAtoi(line);
    free(line);
  }
  return status;
}

// The vector has count + 2 slots, computed as an unsigned 32-bit value, so a
// count of -1 leaves one slot (the terminator in slot 0) and a count of -3 or
// lower asks for billions of slots. A count of -2 would ask for none.
uint32_t allocateVector(int count, DorqRequest* request) {
  const uint32_t slots = static_cast<uint32_t>(count) + 2U;
  if (slots == 0) {
    return kStatusNoMemory;
  }
  request->argv = static_cast<char**>(calloc(slots, sizeof(char*)));
  if (request->argv == nullptr) {
    return kStatusNoMemory;
  }
  request->slots = slots;
  request->argv[0] = request->path;
  return kStatusOk;
}

// Fills slots 1 to slots - 2 with argument lines, then puts the terminator in
// the last slot.
uint32_t readArguments(FILE* in, DorqRequest* request) {
  const uint32_t last = request->slots - 1;
  for (uint32_t slot = 1; slot < last; ++slot) {
    const uint32_t status = readLine(in, &request->argv[slot]);
    if (status != kStatusOk) {
      return status;
    }
  }
  request->argv[last] = nullptr;
  return kStatusOk;
}

uint32_t readFixedLines(FILE* in, DorqRequest* request, int* count) {
  uint32_t status = readLine(in, &request->user);
  if (status == kStatusOk) {
    status = readLine(in, &request->password);
  }
  if (status == kStatusOk) {
    status = readNumberLine(in, &request->flags);
  }
  if (status == kStatusOk) {
    status = readLine(in, &request->path);
  }
  if (status == kStatusOk) {
    status = readNumberLine(in, count);
  }
  return status;
}

}  // namespace

uint32_t dorqReadRequest(FILE* in, DorqRequest* request) {
  *request = DorqRequest{};
  // Unbuffered, so that exactly the request's bytes are consumed: whatever
  // follows the last request line stays for the job to read.
  setvbuf(in, nullptr, _IONBF, 0);
  int count = 0;
  uint32_t status = readFixedLines(in, request, &count);
  if (status == kStatusOk) {
    status = allocateVector(count, request);
  }
  if (status == kStatusOk) {
    status = readArguments(in, request);
  }
  if (status != kStatusOk) {
    dorqReleaseRequest(request);
  }
  return status;
}

void dorqWipePassword(DorqRequest* request) {
  // The whole buffer: a NUL inside the line ends it for PAM, not for the
  // bytes behind it.
  if (request->password != nullptr) {
    explicit_bzero(request->password, kRequestLineBuffer);
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

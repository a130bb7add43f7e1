// Move-only owner of a C stream opened through the wrappers: closed exactly
// once, through ssOswFclose.
#ifndef DORQ_PORT_UNIQUE_STREAM_H
#define DORQ_PORT_UNIQUE_STREAM_H

#include <stdio.h>

#include "port/ss_wrappers.h"

class UniqueStream {
 public:
  UniqueStream() = default;
  explicit UniqueStream(FILE* stream) : stream_(stream) {}
  UniqueStream(const UniqueStream&) = delete;
  UniqueStream& operator=(const UniqueStream&) = delete;
  UniqueStream(UniqueStream&& other) noexcept : stream_(other.release()) {}
  UniqueStream& operator=(UniqueStream&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ~UniqueStream() { reset(); }

  FILE* get() const { return stream_; }
  bool valid() const { return stream_ != nullptr; }
  FILE* release() {
    FILE* const stream = stream_;
    stream_ = nullptr;
    return stream;
  }
  void reset(FILE* stream = nullptr) {
    if (stream_ != nullptr) {
      (void)ssOswFclose(stream_);
    }
    stream_ = stream;
  }
  // Closes now and reports the close's result (0, or -1 with errno set).
  int close() {
    FILE* const stream = release();
    return stream == nullptr ? 0 : ssOswFclose(stream);
  }

 private:
  FILE* stream_ = nullptr;
};

#endif  // DORQ_PORT_UNIQUE_STREAM_H

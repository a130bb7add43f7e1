// A NUL-terminated text in a fixed buffer that refuses to grow past it: the
// working texts of the opens live on the stack in these.
#ifndef DORQ_SECUREFILE_SLF_TEXT_H
#define DORQ_SECUREFILE_SLF_TEXT_H

#include <string.h>

#include <array>
#include <string_view>

// Capacity characters plus the terminator.
template <size_t Capacity>
class SlfText {
 public:
  SlfText() { buf_[0] = '\0'; }
  SlfText(const SlfText&) = delete;
  SlfText& operator=(const SlfText&) = delete;

  // Appends text whole, or leaves the text as it was and returns false when
  // the result would hold more than Capacity characters.
  bool append(std::string_view text) {
    if (text.size() > Capacity - length_) {
      return false;
    }
    if (text.empty()) {
      return true;  // an empty view may carry no address at all
    }
    memcpy(buf_.data() + length_, text.data(), text.size());
    length_ += text.size();
    buf_[length_] = '\0';
    return true;
  }
  void push(char c) {
    if (length_ < Capacity) {
      buf_[length_++] = c;
      buf_[length_] = '\0';
    }
  }
  void dropLast() {
    if (length_ > 0) {
      buf_[--length_] = '\0';
    }
  }

  // Raw room for a C call that writes a terminated text of at most
  // Capacity characters (getcwd, realpath); recount() afterwards.
  char* room() { return buf_.data(); }
  void recount() {
    buf_[Capacity] = '\0';
    length_ = strlen(buf_.data());
  }

  const char* c_str() const { return buf_.data(); }
  std::string_view view() const { return {buf_.data(), length_}; }
  size_t size() const { return length_; }

 private:
  std::array<char, Capacity + 1> buf_;
  size_t length_ = 0;
};

#endif  // DORQ_SECUREFILE_SLF_TEXT_H

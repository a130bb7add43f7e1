// Escaping of outside text.
#include "app/dorq_escape.h"

#include <string.h>

namespace {

// The longest escape: a backslash, 'x' and two hex digits.
constexpr size_t kLongestEscape = 4;

// The escape of one byte into out, its length, or 0 when the byte stands
// for itself.
size_t escapeByte(unsigned char c, char (&out)[kLongestEscape]) {
  constexpr char kHex[] = "0123456789abcdef";
  constexpr unsigned char kFirstPrintable = 0x20;
  constexpr unsigned char kDelete = 0x7F;
  char named = '\0';
  switch (c) {
    case '\n':
      named = 'n';
      break;
    case '\r':
      named = 'r';
      break;
    case '\t':
      named = 't';
      break;
    case '\\':
      named = '\\';
      break;
    default:
      if (c >= kFirstPrintable && c != kDelete) {
        return 0;
      }
      out[0] = '\\';
      out[1] = 'x';
      out[2] = kHex[c >> 4U];
      out[3] = kHex[c & 0xFU];
      return kLongestEscape;
  }
  out[0] = '\\';
  out[1] = named;
  return 2;
}

}  // namespace

size_t dorqEscape(std::string_view text, std::span<char> out) {
  size_t length = 0;
  for (const char c : text) {
    char escape[kLongestEscape];
    const size_t width = escapeByte(static_cast<unsigned char>(c), escape);
    if (length + (width == 0 ? 1 : width) > out.size()) {
      break;
    }
    if (width == 0) {
      out[length++] = c;
    } else {
      memcpy(out.data() + length, escape, width);
      length += width;
    }
  }
  return length;
}

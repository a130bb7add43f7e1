// Escaping of outside text.
#include "app/base/dorq_escape.h"

#include <stdio.h>
#include <string.h>

namespace {

// The longest escape: a backslash, 'x' and two hex digits.
constexpr size_t kLongestEscape = 4;

constexpr char kHex[] = "0123456789abcdef";

void hexEscape(unsigned char c, char (&out)[kLongestEscape]) {
  out[0] = '\\';
  out[1] = 'x';
  out[2] = kHex[c >> 4U];
  out[3] = kHex[c & 0xFU];
}

// The bytes an audit field value keeps as they are.
bool standsInField(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && strchr("._,:/@+-", c) != nullptr);
}

// The escape of one byte into out, its length, or 0 when the byte stands
// for itself.
size_t escapeByte(unsigned char c, char (&out)[kLongestEscape]) {
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
      hexEscape(c, out);
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

size_t dorqEscapeField(std::string_view text, std::span<char> out) {
  if (out.size() <= kFieldCutMarkRoom) {
    return 0;
  }
  const size_t room = out.size() - kFieldCutMarkRoom;
  size_t length = 0;
  size_t taken = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const size_t width = standsInField(byte) ? 1 : kLongestEscape;
    if (length + width > room) {
      break;
    }
    if (width == 1) {
      out[length] = c;
    } else {
      char escape[kLongestEscape];
      hexEscape(byte, escape);
      memcpy(out.data() + length, escape, width);
    }
    length += width;
    ++taken;
  }
  if (taken < text.size()) {
    const int mark = snprintf(out.data() + length, out.size() - length, "[cut:%zu]", text.size());
    length += mark < 0 ? 0 : static_cast<size_t>(mark);
  }
  out[length] = '\0';
  return length;
}

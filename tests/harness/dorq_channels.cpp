#include "tests/harness/dorq_channels.h"

#include <charconv>
#include <system_error>

namespace dorq_test {
namespace {

// A frame's code is "%d" of an int: an optional minus sign and at most ten digits.
constexpr size_t kMaxCodeDigits = 10;

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Parses the frame whose opening marker starts at `at`; false when the bytes
// there are not a complete frame.
bool parseFrameAt(std::string_view err, size_t at, FrameMatch* match) {
  size_t pos = at + kFrameOpen.size();
  const size_t numberStart = pos;
  if (pos < err.size() && err[pos] == '-') {
    ++pos;
  }
  const size_t digitsStart = pos;
  while (pos < err.size() && isDigit(err[pos]) && pos - digitsStart < kMaxCodeDigits) {
    ++pos;
  }
  if (pos == digitsStart || err.substr(pos, kFrameClose.size()) != kFrameClose) {
    return false;
  }
  int code = 0;
  const auto [end, error] = std::from_chars(err.data() + numberStart, err.data() + pos, code);
  if (error != std::errc() || end != err.data() + pos) {
    return false;
  }
  match->offset = at;
  match->length = pos + kFrameClose.size() - at;
  match->code = code;
  return true;
}

}  // namespace

std::string statusFrame(int code) {
  std::string frame(kFrameOpen);
  frame += std::to_string(code);
  frame += kFrameClose;
  return frame;
}

std::vector<FrameMatch> findStatusFrames(std::string_view err) {
  std::vector<FrameMatch> frames;
  size_t from = 0;
  while (true) {
    const size_t at = err.find(kFrameOpen, from);
    if (at == std::string_view::npos) {
      return frames;
    }
    FrameMatch match;
    if (parseFrameAt(err, at, &match)) {
      frames.push_back(match);
      from = at + match.length;
    } else {
      from = at + 1;
    }
  }
}

TrailingFrame trailingStatusFrame(std::string_view err) {
  TrailingFrame result;
  const size_t at = err.rfind(kFrameOpen);
  if (at == std::string_view::npos) {
    result.problem = "no status frame on standard error: \"" + printable(err) + "\"";
    return result;
  }
  FrameMatch match;
  if (!parseFrameAt(err, at, &match)) {
    result.problem = "malformed status frame: \"" + printable(err.substr(at)) + "\"";
    return result;
  }
  result.code = match.code;
  result.before = std::string(err.substr(0, at));
  const std::string_view after = err.substr(at + match.length);
  if (!after.empty()) {
    result.problem = "bytes after the status frame: \"" + printable(after) + "\"";
    return result;
  }
  result.ok = true;
  return result;
}

SplitStdout splitStatusWords(std::string_view out, std::string_view commandText) {
  SplitStdout result;
  size_t at = out.size();
  if (!commandText.empty()) {
    at = out.find(commandText);
    if (at == std::string_view::npos) {
      return result;
    }
  }
  result.words = statusWordBytes(out.substr(0, at));
  result.textAt = result.words.size();
  if (!commandText.empty()) {
    for (const int word : statusWordBytes(out.substr(at + commandText.size()))) {
      result.words.push_back(word);
    }
  }
  result.ok = true;
  return result;
}

std::vector<int> statusWordBytes(std::string_view out) {
  std::vector<int> bytes;
  bytes.reserve(out.size());
  for (const char c : out) {
    bytes.push_back(static_cast<unsigned char>(c));
  }
  return bytes;
}

std::string printable(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
      text += c;
    } else {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0xf];
    }
  }
  return text;
}

}  // namespace dorq_test

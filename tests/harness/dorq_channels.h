// Decoding dorq's report channels as a test sees them: the status frame that a
// failed run leaves on standard error, and the status words (single raw bytes)
// that flags value 2 puts on standard output.
#ifndef DORQ_TESTS_HARNESS_DORQ_CHANNELS_H
#define DORQ_TESTS_HARNESS_DORQ_CHANNELS_H

#include <stddef.h>

#include <string>
#include <string_view>
#include <vector>

namespace dorq_test {

inline constexpr std::string_view kFrameOpen = "!@#--!@#";
inline constexpr std::string_view kFrameClose = "#@!--#@!";

// The frame dorq writes for `code`: "!@#--!@#" code "#@!--#@!", no newline.
std::string statusFrame(int code);

// One well-formed frame found on standard error.
struct FrameMatch {
  size_t offset = 0;  // where its opening marker starts
  size_t length = 0;  // bytes from the opening marker to the end of the closing one
  int code = 0;
};

// Every well-formed frame in `err`, in order (the child's frame comes before
// the driver's when both appear). An opening marker that is not followed by a
// signed decimal number and the closing marker is not a frame.
std::vector<FrameMatch> findStatusFrames(std::string_view err);

// The usual check of a failed run: standard error ends with exactly one frame.
struct TrailingFrame {
  bool ok = false;      // a well-formed frame is the last text on standard error
  int code = -1;        // its code, -1 when there is none
  std::string before;   // everything written before the frame
  std::string problem;  // why `ok` is false, for the failure message
};
TrailingFrame trailingStatusFrame(std::string_view err);

// Standard output of a run with flags value 2: status words (one byte each)
// and the command's own output. The command writes `commandText` in one
// write, so it arrives as one block that can land before, between or after
// the status words. `ok` is false when `commandText` is not found in `out`.
struct SplitStdout {
  bool ok = false;
  std::vector<int> words;  // status words, in order, as byte values
  size_t textAt = 0;       // how many status words came before the command's text
};
SplitStdout splitStatusWords(std::string_view out, std::string_view commandText = {});

// Every byte of `out` as a number: for output that holds status words only.
std::vector<int> statusWordBytes(std::string_view out);

// Bytes made readable for failure messages: printable ASCII as is, the rest as \xHH.
std::string printable(std::string_view bytes);

}  // namespace dorq_test

#endif  // DORQ_TESTS_HARNESS_DORQ_CHANNELS_H

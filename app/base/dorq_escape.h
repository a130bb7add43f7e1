// Escaping of text that came from outside (option values, request lines,
// paths, PAM messages) before it reaches a trace line or the system log: a
// control character, DEL or a backslash becomes "\n", "\r", "\t", "\\" or
// "\xHH", so outside text can neither end a line nor forge one.
#ifndef DORQ_APP_BASE_DORQ_ESCAPE_H
#define DORQ_APP_BASE_DORQ_ESCAPE_H

#include <stddef.h>

#include <span>
#include <string_view>

// Writes text, escaped, to out; returns the number of bytes written. When
// out is too small the text is cut before the first escape or byte that
// would not fit: an escape is never split. Nothing is terminated.
size_t dorqEscape(std::string_view text, std::span<char> out);

// Writes text as one field value of an audit line: every byte outside
// letters, digits and "._,:/@+-" becomes "\xHH", so no space, "=", quote,
// backslash or control byte of the text can end the field or make another.
// A text that does not fit whole is cut before the first escape that would
// not fit, and the mark "[cut:N]" follows with N the text's whole length in
// bytes (room for it is kept). Terminated; returns the length. An output
// that cannot hold the mark gets nothing.
inline constexpr size_t kFieldCutMarkRoom = 27;  // "[cut:", 20 digits, "]", NUL
size_t dorqEscapeField(std::string_view text, std::span<char> out);

#endif  // DORQ_APP_BASE_DORQ_ESCAPE_H

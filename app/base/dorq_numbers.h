// Number conversions of the request and the command line, with the C
// library's text rules but defined results for every input: a value out of
// the int range wraps to 32 bits instead of being undefined.
#ifndef DORQ_APP_BASE_DORQ_NUMBERS_H
#define DORQ_APP_BASE_DORQ_NUMBERS_H

#include <optional>

// atoi rules: leading white space, optional sign, decimal digits up to the
// first other character; text that is not a number gives 0.
int dorqAtoi(const char* text);
// "%d" scan rules: the number, or nothing when the text does not begin (after
// white space and a sign) with a decimal digit.
std::optional<int> dorqScanDecimal(const char* text);
// "%i" scan rules: decimal, hexadecimal after 0x, octal after a leading 0.
std::optional<int> dorqScanInteger(const char* text);

#endif  // DORQ_APP_BASE_DORQ_NUMBERS_H

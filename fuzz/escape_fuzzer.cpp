// Escaping of outside text with texts and output sizes from the fuzzer. The
// output buffer is allocated at exactly the size the call is told, so any
// write past it is seen. The rules for a trace line: no control byte, DEL or
// lone backslash comes out; an escape is never split; and what came out reads
// back as a prefix of the input, the whole input when it fit. For an audit
// field: no space, "=", quote, control or non-ASCII byte, backslashes only in
// \xHH escapes, then the cut mark with the input's length exactly when the
// input did not fit.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <string_view>

#include "app/base/dorq_escape.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr size_t kMaxOut = 4 * 1024;

int hexValue(char c) {
  return c <= '9' ? c - '0' : c - 'a' + 10;
}

// Reads the escapes back; the rule breaks on a control byte, DEL, or an
// escape that is cut or unknown.
std::string unescape(std::string_view text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    FUZZ_CHECK(c >= 0x20 && c != 0x7F);
    if (c != '\\') {
      plain += text[i];
      continue;
    }
    FUZZ_CHECK(i + 1 < text.size());
    const char kind = text[++i];
    if (kind == 'x') {
      FUZZ_CHECK(i + 2 < text.size());
      plain += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
      continue;
    }
    FUZZ_CHECK(kind == 'n' || kind == 'r' || kind == 't' || kind == '\\');
    plain += kind == 'n' ? '\n' : kind == 'r' ? '\r' : kind == 't' ? '\t' : '\\';
  }
  return plain;
}

// Reads an audit field back: the text before any cut mark, unescaped; the
// rule breaks on a byte that could end or make a field.
std::string unescapeField(std::string_view field, std::string_view* mark) {
  const size_t at = field.find('[');
  *mark = at == std::string_view::npos ? std::string_view() : field.substr(at);
  field = field.substr(0, at);
  for (const char c : field) {
    const auto byte = static_cast<unsigned char>(c);
    FUZZ_CHECK(byte > ' ' && byte < 0x7F && strchr("=\"'`[", c) == nullptr);
  }
  for (size_t i = 0; i < field.size(); ++i) {
    FUZZ_CHECK(field[i] != '\\' || (i + 1 < field.size() && field[i + 1] == 'x'));
  }
  return unescape(field);
}

void checkField(const std::string& text, size_t outSize) {
  const auto out = std::make_unique<char[]>(outSize);
  const size_t length = dorqEscapeField(text, std::span<char>(out.get(), outSize));
  FUZZ_CHECK(outSize == 0 || (length < outSize && out[length] == '\0'));
  std::string_view mark;
  const std::string plain = unescapeField(std::string_view(out.get(), length), &mark);
  FUZZ_CHECK(text.compare(0, plain.size(), plain) == 0);
  if (outSize > kFieldCutMarkRoom) {
    FUZZ_CHECK(plain.size() == text.size() ? mark.empty()
                                           : mark == "[cut:" + std::to_string(text.size()) + "]");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const size_t outSize = input.ConsumeIntegralInRange<size_t>(0, kMaxOut);
  const std::string text = input.ConsumeRemainingBytesAsString();
  const auto out = std::make_unique<char[]>(outSize);
  const size_t length = dorqEscape(text, std::span<char>(out.get(), outSize));
  FUZZ_CHECK(length <= outSize);
  const std::string plain = unescape(std::string_view(out.get(), length));
  FUZZ_CHECK(text.compare(0, plain.size(), plain) == 0);
  // Cut only when the next byte's escape would not have fit.
  FUZZ_CHECK(plain.size() == text.size() || length + 4 > outSize);
  checkField(text, outSize);
  return 0;
}

// One line of the settings file: "NAME = value # comment". Only the settings
// that the file may supply are accepted; there is no quoting, escaping,
// continuation or expansion, so quotes, inner blanks and "=" belong to the value.
#include <string.h>

#include <string_view>

#include "port/ss_wrappers.h"
#include "settings/slzgetevar.h"

namespace {

constexpr int kAccepted = 0;
constexpr int kIgnored = -1;
constexpr int kNoMemory = -2;

// The names the settings file may supply, compared with case.
constexpr std::string_view kFileSettings[] = {"KVL_ADMIN", "DISABLE_VUDOV_FEATURES"};

constexpr char kComment = '#';
constexpr char kAssign = '=';

// White space of the C library's default locale: space, \t, \n, \v, \f, \r.
constexpr bool isBlank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Slices of text for positions the caller has bounded (n, from <= size).
// string_view::substr would check again and pull the C++ exception machinery
// into the set-user-ID program for a throw that cannot happen.
constexpr std::string_view prefixOf(std::string_view text, size_t n) {
  return {text.data(), n};
}
constexpr std::string_view suffixFrom(std::string_view text, size_t from) {
  return {text.data() + from, text.size() - from};
}

std::string_view skipLeadingBlanks(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && isBlank(text[i])) {
    ++i;
  }
  return suffixFrom(text, i);
}

std::string_view trimTrailingBlanks(std::string_view text) {
  size_t n = text.size();
  while (n > 0 && isBlank(text[n - 1])) {
    --n;
  }
  return prefixOf(text, n);
}

bool isFileSetting(std::string_view name) {
  for (const std::string_view accepted : kFileSettings) {
    if (name == accepted) {
      return true;
    }
  }
  return false;
}

// A NUL-terminated copy of text from ssMemMalloc, or null.
char* copyText(std::string_view text) {
  char* const copy = static_cast<char*>(ssMemMalloc(text.size() + 1));
  if (copy != nullptr) {
    memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
  }
  return copy;
}

// The value's text after "=": leading blanks skipped, up to the first
// newline or "#" (a trailing comment); the line itself ends at its NUL.
std::string_view rawValue(std::string_view afterAssign) {
  const std::string_view text = skipLeadingBlanks(afterAssign);
  const size_t end = text.find_first_of("\n#");
  return end == std::string_view::npos ? text : prefixOf(text, end);
}

}  // namespace

int slzgetevarf_parseline(const char* line, char** nameOut, char** valueOut) {
  *nameOut = nullptr;
  *valueOut = nullptr;

  const std::string_view rest = skipLeadingBlanks(std::string_view(line));
  if (rest.empty() || rest.front() == kComment) {
    return kIgnored;
  }
  const size_t assign = rest.find(kAssign);
  if (assign == std::string_view::npos) {
    return kIgnored;
  }
  // A name is 1 to 63 characters and one of the accepted settings.
  const std::string_view name = trimTrailingBlanks(prefixOf(rest, assign));
  if (name.empty() || name.size() > kSlzMaxName || !isFileSetting(name)) {
    return kIgnored;
  }
  char* const nameCopy = copyText(name);
  if (nameCopy == nullptr) {
    return kNoMemory;
  }
  // A value of 1025 characters or more, counted before its trailing blanks
  // are removed, makes the line ignored; so does an empty one.
  const std::string_view raw = rawValue(suffixFrom(rest, assign + 1));
  if (raw.empty() || raw.size() > kSlzMaxFileValue) {
    ssMemFree(nameCopy);
    return kIgnored;
  }
  char* const valueCopy = copyText(trimTrailingBlanks(raw));
  if (valueCopy == nullptr) {
    ssMemFree(nameCopy);
    return kNoMemory;
  }
  *nameOut = nameCopy;
  *valueOut = valueCopy;
  return kAccepted;
}

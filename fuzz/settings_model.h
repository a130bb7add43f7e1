// The settings file's line rules, written out step by step from the rules of
// the format: the reference the settings fuzz targets check against.
#ifndef DORQ_FUZZ_SETTINGS_MODEL_H
#define DORQ_FUZZ_SETTINGS_MODEL_H

#include <stddef.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace dorq_fuzz {

// The only names the settings file may supply.
inline constexpr std::string_view kFileNames[] = {"KVL_ADMIN", "DISABLE_VUDOV_FEATURES"};

// Space, tab, newline, vertical tab, form feed, carriage return.
inline bool modelBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The (name, value) that a line (ending at its first NUL) carries, if any.
inline std::optional<std::pair<std::string, std::string>> modelParseLine(std::string_view line) {
  line = line.substr(0, std::min(line.find('\0'), line.size()));
  size_t i = 0;
  while (i < line.size() && modelBlank(line[i])) {
    ++i;
  }
  if (i == line.size() || line[i] == '#') {
    return std::nullopt;
  }
  const size_t assign = line.find('=', i);
  if (assign == std::string_view::npos) {
    return std::nullopt;
  }
  size_t nameEnd = assign;
  while (nameEnd > i && modelBlank(line[nameEnd - 1])) {
    --nameEnd;
  }
  const std::string_view name = line.substr(i, nameEnd - i);
  if (name.empty() || name.size() > 63) {
    return std::nullopt;
  }
  bool accepted = false;
  for (const std::string_view known : kFileNames) {
    accepted = accepted || name == known;
  }
  if (!accepted) {
    return std::nullopt;
  }
  size_t v = assign + 1;
  while (v < line.size() && modelBlank(line[v])) {
    ++v;
  }
  size_t valueEnd = v;
  while (valueEnd < line.size() && line[valueEnd] != '\n' && line[valueEnd] != '#') {
    ++valueEnd;
  }
  if (valueEnd == v || valueEnd - v >= 1025) {
    return std::nullopt;
  }
  while (valueEnd > v && modelBlank(line[valueEnd - 1])) {
    --valueEnd;
  }
  return std::make_pair(std::string(name), std::string(line.substr(v, valueEnd - v)));
}

}  // namespace dorq_fuzz

#endif  // DORQ_FUZZ_SETTINGS_MODEL_H

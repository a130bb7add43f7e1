#include "tests/harness/probe_report.h"

#include <charconv>

#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

template <typename Int>
bool parseWhole(std::string_view text, Int* value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

const char* jobProbePath() {
  return DORQ_JOB_PROBE;
}

const char* dorqBinaryPath() {
#ifdef DORQ_BINARY
  return DORQ_BINARY;
#else
  return nullptr;
#endif
}

std::vector<std::string> probeArgs(const ProbeOptions& options) {
  std::vector<std::string> args{options.report};
  for (const std::string& name : options.envNames) {
    args.insert(args.end(), {"--env", name});
  }
  if (!options.readStdin) {
    args.emplace_back("--no-stdin");
  }
  if (options.awaitOrphan) {
    args.emplace_back("--await-orphan");
  }
  if (!options.out.empty()) {
    args.insert(args.end(), {"--out", probeEscape(options.out)});
  }
  if (!options.err.empty()) {
    args.insert(args.end(), {"--err", probeEscape(options.err)});
  }
  if (options.sleepSeconds > 0) {
    args.insert(args.end(), {"--sleep", std::to_string(options.sleepSeconds)});
  }
  if (options.pause) {
    args.emplace_back("--pause");
  }
  if (options.signal != 0) {
    args.insert(args.end(), {"--signal", std::to_string(options.signal)});
  }
  if (options.exitCode != 0) {
    args.insert(args.end(), {"--exit", std::to_string(options.exitCode)});
  }
  return args;
}

std::string probeEscape(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\\') {
      text += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7f) {
      text += c;
    } else {
      text += "\\x";
      text += kHex[byte >> 4];
      text += kHex[byte & 0xf];
    }
  }
  return text;
}

std::string probeUnescape(std::string_view text) {
  std::string bytes;
  size_t i = 0;
  while (i < text.size()) {
    if (text.substr(i, 2) == "\\\\") {
      bytes += '\\';
      i += 2;
    } else if (text.substr(i, 2) == "\\x" && i + 3 < text.size() && hexDigit(text[i + 2]) >= 0 &&
               hexDigit(text[i + 3]) >= 0) {
      bytes += static_cast<char>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3]));
      i += 4;
    } else {
      bytes += text[i++];
    }
  }
  return bytes;
}

ProbeReport ProbeReport::parse(std::string_view text) {
  ProbeReport report;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      continue;
    }
    report.entries_.emplace_back(std::string(line.substr(0, equals)),
                                 probeUnescape(line.substr(equals + 1)));
  }
  report.complete_ = !report.entries_.empty() && report.entries_.back().first == "end" &&
                     report.entries_.back().second == "1";
  return report;
}

bool ProbeReport::has(std::string_view key) const {
  for (const auto& [k, v] : entries_) {
    if (k == key) {
      return true;
    }
  }
  return false;
}

std::string ProbeReport::value(std::string_view key) const {
  for (const auto& [k, v] : entries_) {
    if (k == key) {
      return v;
    }
  }
  return {};
}

std::vector<std::string> ProbeReport::values(std::string_view key) const {
  std::vector<std::string> found;
  for (const auto& [k, v] : entries_) {
    if (k == key) {
      found.push_back(v);
    }
  }
  return found;
}

long long ProbeReport::number(std::string_view key, long long fallback) const {
  long long parsed = 0;
  return has(key) && parseWhole(std::string_view(value(key)), &parsed) ? parsed : fallback;
}

std::vector<std::string> ProbeReport::argv() const {
  std::vector<std::string> args;
  const long long argc = number("argc", 0);
  for (long long i = 0; i < argc; ++i) {
    args.push_back(value("argv." + std::to_string(i)));
  }
  return args;
}

std::map<int, std::string> ProbeReport::fds() const {
  std::map<int, std::string> found;
  constexpr std::string_view kPrefix = "fd.";
  for (const auto& [k, v] : entries_) {
    int fd = -1;
    if (std::string_view(k).substr(0, kPrefix.size()) == kPrefix &&
        parseWhole(std::string_view(k).substr(kPrefix.size()), &fd)) {
      found[fd] = v;
    }
  }
  return found;
}

std::vector<gid_t> ProbeReport::groups() const {
  std::vector<gid_t> found;
  const std::string list = value("groups");
  size_t pos = 0;
  while (pos < list.size()) {
    size_t end = list.find(',', pos);
    if (end == std::string::npos) {
      end = list.size();
    }
    gid_t gid = 0;
    if (parseWhole(std::string_view(list).substr(pos, end - pos), &gid)) {
      found.push_back(gid);
    }
    pos = end + 1;
  }
  return found;
}

std::map<std::string, std::string> ProbeReport::env() const {
  std::map<std::string, std::string> found;
  for (const std::string& entry : values("env")) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      found[entry] = "";
    } else {
      found[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
  }
  return found;
}

std::optional<std::string> ProbeReport::stdinBytes() const {
  if (!has("stdin") || has("stdin.errno")) {
    return std::nullopt;
  }
  return value("stdin");
}

std::set<int> ProbeReport::blockedSignals() const {
  return signalsInMask(value("sigblk"));
}

std::set<int> ProbeReport::ignoredSignals() const {
  return signalsInMask(value("sigign"));
}

std::optional<ProbeReport> readProbeReport(const std::string& path) {
  ProbeReport report = ProbeReport::parse(readFile(path));
  if (!report.complete()) {
    return std::nullopt;
  }
  return report;
}

std::set<int> signalsInMask(std::string_view hexMask) {
  std::set<int> signals;
  int bit = 0;
  for (size_t i = hexMask.size(); i > 0; --i) {
    const int digit = hexDigit(hexMask[i - 1]);
    if (digit < 0) {
      return {};
    }
    constexpr int kBitsPerDigit = 4;
    for (int b = 0; b < kBitsPerDigit; ++b, ++bit) {
      if ((digit & (1 << b)) != 0) {
        signals.insert(bit + 1);
      }
    }
  }
  return signals;
}

}  // namespace dorq_test

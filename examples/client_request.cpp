// The request record, line by line.
#include "examples/client_request.h"

namespace dorq_client {

namespace {

// A field travels as one line: no newline inside (it would end the line
// early) and no NUL byte (dorq would cut the line there).
bool fitsOnLine(std::string_view name, std::string_view text, std::string* problem) {
  if (text.find('\n') != std::string_view::npos) {
    *problem = std::string(name) + " holds a newline";
    return false;
  }
  if (text.find('\0') != std::string_view::npos) {
    *problem = std::string(name) + " holds a NUL byte";
    return false;
  }
  if (text.size() > kMaxRequestLine) {
    *problem =
        std::string(name) + " is longer than " + std::to_string(kMaxRequestLine) + " characters";
    return false;
  }
  return true;
}

void appendLine(std::string* record, std::string_view text) {
  record->append(text);
  record->push_back('\n');
}

}  // namespace

std::optional<std::string> buildRequestRecord(const RequestFields& fields, std::string* problem) {
  if (!fitsOnLine("the user name", fields.user, problem) ||
      !fitsOnLine("the password", fields.password, problem) ||
      !fitsOnLine("the command", fields.command, problem)) {
    return std::nullopt;
  }
  for (const std::string_view arg : fields.args) {
    if (!fitsOnLine("an argument", arg, problem)) {
      return std::nullopt;
    }
  }
  std::string record;
  appendLine(&record, fields.user);
  appendLine(&record, fields.password);
  appendLine(&record, std::to_string(fields.flags));
  appendLine(&record, fields.command);
  appendLine(&record, std::to_string(fields.args.size()));
  for (const std::string_view arg : fields.args) {
    appendLine(&record, arg);
  }
  return record;
}

std::string_view firstLine(std::string_view text) {
  const size_t newline = text.find('\n');
  return newline == std::string_view::npos ? text : text.substr(0, newline);
}

}  // namespace dorq_client

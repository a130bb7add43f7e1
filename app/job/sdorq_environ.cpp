// The job's environment.
#include "app/job/sdorq_environ.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string_view>

namespace {

constexpr char kTimeZone[] = "TZ";
// The entry "TZ=..." as dorq was started with it, or null.
char* callerTimeZone = nullptr;

// The variables the job gets from the password entry, in this order.
constexpr const char* kAccountVariables[] = {"HOME", "USER", "LOGNAME", "SHELL"};
constexpr size_t kAccountCount = sizeof kAccountVariables / sizeof kAccountVariables[0];
constexpr char kDefaultShell[] = "/bin/sh";

// True when entry is "NAME=..." for name.
bool names(const char* entry, std::string_view name) {
  return strncmp(entry, name.data(), name.size()) == 0 && entry[name.size()] == '=';
}

// The variables dorq replaces: the four of the account, and TZ.
bool replaced(const char* entry) {
  for (const char* name : kAccountVariables) {
    if (names(entry, name)) {
      return true;
    }
  }
  return names(entry, kTimeZone);
}

// "HOME=h\0USER=n\0LOGNAME=n\0SHELL=s\0" in one block; its entries go to vars.
char* accountText(const JobIdentity& identity, char** vars) {
  const char* shell = identity.shell.valid() && identity.shell.get()[0] != '\0'
                          ? identity.shell.get()
                          : kDefaultShell;
  const char* values[kAccountCount] = {identity.home.get(), identity.name.get(),
                                       identity.name.get(), shell};
  size_t size = 0;
  for (size_t i = 0; i < kAccountCount; ++i) {
    size += strlen(kAccountVariables[i]) + strlen(values[i]) + 2;
  }
  auto* text = static_cast<char*>(malloc(size));
  if (text == nullptr) {
    return nullptr;
  }
  char* at = text;
  for (size_t i = 0; i < kAccountCount; ++i) {
    vars[i] = at;
    at += snprintf(at, size - static_cast<size_t>(at - text), "%s=%s", kAccountVariables[i],
                   values[i]) +
          1;
  }
  return text;
}

}  // namespace

void sdorqSetAsideTimeZone() {
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (names(*entry, kTimeZone)) {
      callerTimeZone = *entry;
      break;
    }
  }
  (void)unsetenv(kTimeZone);
  tzset();
}

bool sdorqBuildJobEnvironment(const JobIdentity& identity, JobEnvironment* environment) {
  size_t count = 0;
  while (environ[count] != nullptr) {
    ++count;
  }
  // The caller's entries, TZ, the four of the account and the terminator.
  environment->vars.reset(static_cast<char**>(calloc(count + kAccountCount + 2, sizeof(char*))));
  char** vars = environment->vars.get();
  if (vars == nullptr) {
    return false;
  }
  size_t used = 0;
  const bool account = identity.known && identity.home.valid() && identity.name.valid();
  for (size_t i = 0; i < count; ++i) {
    if (!account || !replaced(environ[i])) {
      vars[used++] = environ[i];
    }
  }
  if (callerTimeZone != nullptr) {
    vars[used++] = callerTimeZone;
  }
  if (account) {
    environment->text.reset(accountText(identity, vars + used));
    if (!environment->text.valid()) {
      return false;
    }
  }
  return true;
}

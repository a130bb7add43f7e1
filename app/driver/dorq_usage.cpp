// The answers to --version and --help.
#include "app/driver/dorq_usage.h"

#include <stdio.h>
#include <string.h>

#include "app/base/sdorq_identity.h"

namespace {

constexpr char kVersionWord[] = "--version";
constexpr char kHelpWord[] = "--help";

constexpr char kHelp[] =
    "usage: dorq [-trcfile PATH] [-trclvl LEVEL] [-childpidfile FD|FILE] < REQUEST\n"
    "       dorq --version | --help\n"
    "\n"
    "Runs a command as a user whose password PAM accepts, or kills a job of that\n"
    "user. The request on standard input is one line each:\n"
    "  user name, password, flags, command path (or \"kill\"), argument count,\n"
    "  then one argument per line (for \"kill\": the job's pid).\n"
    "Flags: 1 keeps the job's standard error apart, 2 asks for status bytes on\n"
    "standard output, 4 waits blocking instead of watching the caller.\n"
    "Exit status: the command's own, or a status code framed on standard error\n"
    "as !@#--!@#CODE#@!--#@! (see dorq(8), EXIT STATUS).\n";

}  // namespace

bool dorqIsUsageRequest(int argc, char** argv) {
  return argc == 2 && (strcmp(argv[1], kVersionWord) == 0 || strcmp(argv[1], kHelpWord) == 0);
}

int dorqAnswerUsage(const char* word) {
  if (!sdorqDropPrivileges()) {
    return 1;
  }
  if (strcmp(word, kVersionWord) == 0) {
    printf("dorq %s\n", DORQ_VERSION);
  } else {
    fputs(kHelp, stdout);
  }
  return fflush(stdout) == 0 ? 0 : 1;
}

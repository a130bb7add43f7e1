// "dorq --version" and "dorq --help": answered on standard output with exit
// status 0, before anything else and without privileges; any other command
// line is a request.
#ifndef DORQ_APP_DRIVER_DORQ_USAGE_H
#define DORQ_APP_DRIVER_DORQ_USAGE_H

// True when the command line is exactly one of the two words.
bool dorqIsUsageRequest(int argc, char** argv);
// Drops privileges for good, prints the answer, returns the exit status.
int dorqAnswerUsage(const char* word);

#endif  // DORQ_APP_DRIVER_DORQ_USAGE_H

// The logging settings: read for the logging-context hooks, which keep
// nothing, so they have no further effect.
#include <string.h>

#include "app/driver/dorq_driver.h"
#include "app/trace/dorq_trace.h"
#include "app/base/sdorq_identity.h"
#include "settings/slzgetevar.h"

namespace {

constexpr char kLogProperty[] = "logProperty";
constexpr char kLogFilePath[] = "logFilePath";
constexpr char kLogEnabled[] = "true";

// Looks name up into a zero-filled buffer and terminates the value; false
// when the setting has no value.
bool lookUp(uint32_t* error, const char* name, size_t nameLength,
            char (&value)[kLogSettingBuffer]) {
  const int32_t length =
      slzgetevar(error, name, nameLength, value, kLogSettingBuffer - 1, /*options=*/0);
  if (length <= 0) {
    return false;
  }
  value[length] = '\0';
  return true;
}

}  // namespace

void dorqSetupLogging() {
  uint32_t error = 0;  // one slot serves both lookups; it is not examined
  char logProperty[kLogSettingBuffer] = {};
  char logFilePath[kLogSettingBuffer] = {};
  // The settings file is read, once, on the first lookup that misses the
  // environment; its place comes from the caller's environment, so it is
  // read with the caller's rights.
  const AsCaller caller;
  if (caller.active() && lookUp(&error, kLogProperty, strlen(kLogProperty), logProperty) &&
      strcmp(logProperty, kLogEnabled) == 0) {
    lookUp(&error, kLogFilePath, strlen(kLogFilePath), logFilePath);
  }
  sdorqSetupLogCtxt(logProperty, logFilePath);
}

// The hooks keep nothing: the logging settings are read for the scheduler's
// sake but have no effect on this program.
void sdorqSetupLogCtxt(const char* logProperty, const char* logFilePath) {
  (void)logProperty;
  (void)logFilePath;
}

void sdorqCloseLogCtxt() {}

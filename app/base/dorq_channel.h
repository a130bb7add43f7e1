// The status channel: the one place that writes status words and the frame.
// The execution step and the kill request report events to it; the driver
// reports the run's outcome. Every byte is written as the caller.
//
// Status words for each outcome, in order (only when the request asked for
// them with flags value 2):
//   job started (its own exit status follows)       0
//   job started, then ended by a signal or a failed
//     wait (12, 11)                                  0, code
//   child failed before its exec (7, 8, 10, 13)      10, 0
//   child kept no copy of standard error (13)        0
//   no job pipe (10), no child (9)                   code, code
//   kill request answered 0 or 14                    code (14: then 14)
//   authentication refused (5, 7, 16, 21)            code
//   request not read (2, 3, 4, 20)                   none
#ifndef DORQ_APP_BASE_DORQ_CHANNEL_H
#define DORQ_APP_BASE_DORQ_CHANNEL_H

#include <stdint.h>

#include "app/base/dorq_status.h"

enum class DorqEvent : uint8_t {
  JobStarted,        // the command has replaced the child
  StartFailed,       // the child failed before its exec and said so
  StartFailedQuiet,  // the child failed before it had a copy of standard error
  NotSpawned,        // no job pipe or no child: the status tells which
  KillAnswered,      // the kill request's status
};

class StatusChannel {
 public:
  explicit StatusChannel(bool wordsWanted) : wordsWanted_(wordsWanted) {}
  // An event of the execution step or the kill request.
  void report(DorqEvent event, DorqStatus status = DorqStatus::Ok) const;
  // The run's outcome: nothing for 0, else the status word and the frame.
  void finish(DorqStatus status) const;
  // A request that could not be read: the frame alone.
  static void finishUnread(DorqStatus status);

 private:
  bool wordsWanted_;
};

#endif  // DORQ_APP_BASE_DORQ_CHANNEL_H

// The descriptors dorq was started with. A set-user-ID program cannot trust
// its caller to leave 0, 1 and 2 open, and the job must see exactly the
// descriptors dorq inherited: nothing dorq or a PAM module opened, whatever
// its number.
#ifndef DORQ_APP_JOB_SDORQ_DESCRIPTORS_H
#define DORQ_APP_JOB_SDORQ_DESCRIPTORS_H

// Reopens each closed standard descriptor on /dev/null, so that nothing dorq
// opens later can land in slots 0 to 2 and pass for a standard stream.
void sdorqOpenStandardDescriptors();
// Remembers which descriptors are open now (call once, at start). The set
// has no fixed bound; one left out for want of memory is kept from the job.
void sdorqRecordInheritedDescriptors();
// True when fd was open when dorq started.
bool sdorqWasInherited(int fd);
// Marks every open descriptor that was not open at start close-on-exec.
void sdorqProtectOwnDescriptors();

#endif  // DORQ_APP_JOB_SDORQ_DESCRIPTORS_H

// Messages to the system log for what happens before Ostrel's own log is open. Kept apart
// from log/log.h, whose level names the system log header takes as macros.
#pragma once

#include <security/pam_modules.h>

/// pam_syslog at error priority.
void syslog_error(const pam_handle_t* pamh, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

/// pam_syslog at notice priority (the auth facility: pam_syslog's own).
void syslog_notice(const pam_handle_t* pamh, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

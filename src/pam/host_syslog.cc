#include "pam/host_syslog.h"

#include <security/pam_ext.h>
#include <syslog.h>

#include <cstdarg>

void syslog_error(const pam_handle_t* pamh, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  pam_vsyslog(pamh, LOG_ERR, format, args);
  va_end(args);
}

void syslog_notice(const pam_handle_t* pamh, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  pam_vsyslog(pamh, LOG_NOTICE, format, args);
  va_end(args);
}

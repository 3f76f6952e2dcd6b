// The built-in commands: help, version, quit and exit.
#include "log/log.h"
#include "service/service.h"

int show_help(char* const*, int) {
  log_info("Performing help");
  reply_positive("+DATA Valid commands");
  reply_positive(
      "+DATA   set <user> <pass>|(NULL) home=\"<dir>\" script=\"<file>\" comment=\"<text>\"");
  reply_positive("+DATA   del <user>");
  reply_positive("+DATA   check <user> <pass>");
  reply_positive("+DATA   lookup <user>");
  reply_positive("+DATA   version <text>");
  reply_positive("+DATA   help");
  reply_positive("+DATA   quit");
  reply_positive("+DATA   exit");
  reply_positive("+OK");
  return 1;
}

int show_version(char* const*, int) {
  log_info("Performing version");
  reply_positive("+OK %s version %s", kDisplayName, kVersionText);
  return 1;
}

int quit_command(char* const*, int) {
  log_info("Performing exit");
  set_keep_running(0);
  reply_positive("+OK");
  return 1;
}

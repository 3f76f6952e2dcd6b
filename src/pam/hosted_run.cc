#include "pam/hosted_run.h"

#include "log/log.h"
#include "platform/platform.h"
#include "service/service.h"
#include "settings/settings.h"

HostedRun::HostedRun(const char* directory) {
  set_hosted(1);
  set_echo_to_stdout(0);
  set_log_level(LOG_NONE);
  settings() = Settings{};
  clear_negative_sent();
  // As ostrel does, nothing is served without the log: every login must show in it.
  ready_ = load_settings(directory, kHostedName) != 0 && log_is_open();
  if (ready_) apply_account_settings(kHostedName);
}

HostedRun::~HostedRun() {
  platform_close_store();
  release_settings();
  log_close();
  clear_negative_sent();
}

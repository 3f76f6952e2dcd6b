#include "pam/hosted_run.h"

#include <unistd.h>

#include <string>

#include "log/log.h"
#include "platform/platform.h"
#include "service/service.h"
#include "settings/settings.h"

namespace {

// The process whose store connection is open. The connection is kept from one call to the
// next (opening the store costs about a twentieth of a login); a forked child closes the
// one it inherited and opens its own.
int connection_pid = 0;

}  // namespace

HostedRun::HostedRun(const char* directory) {
  if (connection_pid != current_process_id()) {
    platform_close_store();
    connection_pid = current_process_id();
  }
  platform_set_store_reader(true);
  set_hosted(1);
  set_echo_to_stdout(0);
  set_log_level(LOG_NONE);
  settings() = Settings{};
  clear_negative_sent();
  // As ostrel does, nothing is served without the log: every login must show in it.
  ready_ = load_settings(directory, kHostedName) != 0 && log_is_open();
  if (!ready_) return;
  // A kept connection would go on reading a store that has since been made unreadable:
  // then it is closed, and opening it again fails as it should.
  const std::string store = apply_account_settings(kHostedName);
  if (access(store.c_str(), R_OK | W_OK) != 0) platform_close_store();
}

HostedRun::~HostedRun() {
  // A directory connection never outlives the call: a child must not share its socket.
  platform_close_directory();
  release_settings();
  log_close();
  clear_negative_sent();
}

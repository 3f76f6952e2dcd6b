// The process entry: start-up switches, settings, account store, the command on the
// command line or the command loop over standard input, and the end of the run.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "log/log.h"
#include "platform/platform.h"
#include "service/service.h"
#include "service/service_internal.h"
#include "settings/settings.h"

namespace {

constexpr int kStandardInput = 0;  // the descriptor of standard input, on every build

// "-version" and "-debug" count anywhere on the command line. Returns false when the
// run ends here (the banner was printed).
bool apply_startup_switches(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    if (same_text(argv[i], "-version") == 0) {
      std::printf("Brellan's %s module, Version %s\n", kDisplayName, kVersionText);
      std::fflush(stdout);
      return false;
    }
    if (same_text(argv[i], "-debug") == 0) {
      std::printf(
          "-debug found, logging to stdout, NB: don't use this option when being run by "
          "tarsend or tarfetch!\n");
      std::fflush(stdout);
      set_echo_to_stdout(1);
      set_log_level(LOG_DEBUG);
    }
  }
  return true;
}

int end_of_run() {
  release_settings();
  if (!log_close()) reply_negative("-DEAD Unable to close log file {%s}", std::strerror(errno));
  return 0;
}

// A word of the command line ends at a carriage return or newline, as a typed line does,
// so that no word can carry a second line into a reply or the log.
void end_words_at_line_breaks(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr) argv[i][std::strcspn(argv[i], "\r\n")] = '\0';
  }
}

// A store or password file the settings name that cannot be trusted or used: the command
// fails as an outage, and the log says which file and why.
void report_refused_file(const char* path, const char* reason) {
  log_error("Refused file {%s,%s}", path, reason);
}

// A new password the policy refused: which rule, never the password.
void report_refused_password(const char* account, const char* rule) {
  log_info("Password of %s refused: %s", account, rule);
}

}  // namespace

std::string apply_account_settings(const char* name) {
  const Settings& store = settings();
  platform_set_file_reporter(report_refused_file);
  platform_set_directory_options(text_of(store.ldap_base), text_of(store.ldap_bind_dn),
                                 text_of(store.ldap_bind_pw_file));
  platform_set_tls_ca_file(text_of(store.ldap_ca_file));
  PlatformSystemOptions host;
  host.password_file = text_of(store.password_file);
  host.shadow_file = text_of(store.shadow_file);
  host.shadow = store.shadow != 0;
  host.base_uid = text_of(store.base_uid);
  host.home_path = text_of(store.home_path);
  host.shell = text_of(store.script);
  host.sp_expire = text_of(store.sp_expire);
  host.sp_min = text_of(store.sp_min);
  host.sp_max = text_of(store.sp_max);
  host.sp_warn = text_of(store.sp_warn);
  host.sp_inact = text_of(store.sp_inact);
  platform_set_system_options(host);
  platform_set_home_owner(text_of(store.home_owner));
  PlatformLockoutPolicy lockout;
  lockout.threshold = store.lockout_threshold;
  lockout.duration_minutes = store.lockout_duration;
  lockout.window_minutes = store.lockout_window;
  lockout.account_threshold = store.lockout_account_threshold;
  platform_set_lockout_policy(lockout);
  platform_set_lockout_tally_dir(text_of(store.lockout_tally_dir));
  platform_set_password_reporter(report_refused_password);
  PlatformPasswordPolicy passwords;
  passwords.min_length = store.password_min_length;
  passwords.complexity = store.password_complexity != 0;
  passwords.history = store.password_history;
  passwords.deny_list = text_of(store.password_deny_list);
  platform_set_password_policy(passwords);
  if (store.account_db) {
    platform_set_account_db(store.account_db->c_str());
    return *store.account_db;
  }
  const std::string file = std::string(name) + ".db";
  const char* joined = join_path(text_of(store.work_path), file.c_str());
  const std::string path = joined ? joined : file;
  log_debug("Account database {%s}", path.c_str());
  platform_set_account_db(path.c_str());
  return path;
}

int run_program(int argc, char** argv) {
  end_words_at_line_breaks(argc, argv);
  if (!apply_startup_switches(argc, argv)) return 0;

  const char* program_path = argc > 0 ? argv[0] : nullptr;
  const std::string name = program_name_of(program_path);
  set_program_name(name.c_str());

  const char* scanned = argc > 0 ? scan_path_option(argv) : nullptr;
  const std::string work_path = scanned ? scanned : "";
  if (!load_settings(scanned ? work_path.c_str() : nullptr, name.c_str())) return 1;
  apply_account_settings(name.c_str());

  if (argc > 1) {
    log_debug("Command line input..");
    apply_command_line_options(argv);
    dispatch_command(argv, argc);
    clear_negative_sent();
    // A command on the command line is the whole run, unless it was options only.
    if (!keep_running()) return end_of_run();
  }
  // Read from the descriptor itself, not through the stdin stream and its buffer.
  serve_command_lines(kStandardInput, program_path);
  return end_of_run();
}

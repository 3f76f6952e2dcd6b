// Ostrel inside another program's process, for the length of one PAM call.
#pragma once

/// Sets Ostrel up for one call: nothing is written to the host process's standard output
/// or ends it, the settings are read afresh from <directory>/ostrel.ini (else the fallback
/// file) and opened the log they name, and the account store is chosen. When it ends, the
/// directory connection and the log are closed; the store connection stays open for the
/// next call of this process (a changed account_db closes it), and a forked child never
/// uses its parent's: it closes it and opens its own. Settings are read at every call.
class HostedRun {
 public:
  explicit HostedRun(const char* directory);
  ~HostedRun();
  HostedRun(const HostedRun&) = delete;
  HostedRun& operator=(const HostedRun&) = delete;

  /// False when no settings file could be read or the log they name (their "path") could
  /// not be opened: nothing is served then.
  bool ready() const { return ready_; }

 private:
  bool ready_ = false;
};

/// The name the settings file, the log and the default store file take.
inline constexpr const char* kHostedName = "ostrel";

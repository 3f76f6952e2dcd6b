// Temporary stand-ins until the settings reader lands.
#include "settings/settings.h"
Settings& settings() {
  static Settings store;
  return store;
}
int load_settings(const char*, const char*) { return 1; }
void release_settings() {}
void reset_settings_for_tests() {}

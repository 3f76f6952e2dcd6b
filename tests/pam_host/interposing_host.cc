// A host process that exports a function of SQLite's name, as some programs that embed
// their own copy do, then logs in through PAM: pam_ostrel.so must still reach the SQLite it
// was linked with. Usage: interposing_host CONFDIR SERVICE USER PASSWORD; the exit status
// is pam_authenticate's result.
#include <security/pam_appl.h>

#include "pam_answer.h"

extern "C" __attribute__((visibility("default"))) int sqlite3_open_v2(const char*, void** db, int,
                                                                      const char*) {
  *db = nullptr;
  return 14;  // SQLITE_CANTOPEN: a module bound to this one could never read its store
}

int main(int argc, char** argv) {
  if (argc != 5) return 100;
  pam_conv conv{answer_password, argv[4]};
  pam_handle_t* pamh = nullptr;
  if (pam_start_confdir(argv[2], argv[3], &conv, argv[1], &pamh) != PAM_SUCCESS) return 101;
  const int result = pam_authenticate(pamh, 0);
  pam_end(pamh, result);
  return result;
}

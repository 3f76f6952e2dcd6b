// A host process that exports a function of SQLite's name, as some programs that embed
// their own copy do, then logs in through PAM: pam_ostrel.so must still reach the SQLite it
// was linked with. Usage: interposing_host CONFDIR SERVICE USER PASSWORD; the exit status
// is pam_authenticate's result.
#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

extern "C" __attribute__((visibility("default"))) int sqlite3_open_v2(const char*, void** db, int,
                                                                      const char*) {
  *db = nullptr;
  return 14;  // SQLITE_CANTOPEN: a module bound to this one could never read its store
}

namespace {

int answer(int count, const pam_message** messages, pam_response** responses, void* password) {
  auto* replies = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
  if (replies == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF)
      replies[i].resp = strdup(static_cast<const char*>(password));
  }
  *responses = replies;
  return PAM_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return 100;
  pam_conv conv{answer, argv[4]};
  pam_handle_t* pamh = nullptr;
  if (pam_start_confdir(argv[2], argv[3], &conv, argv[1], &pamh) != PAM_SUCCESS) return 101;
  const int result = pam_authenticate(pamh, 0);
  pam_end(pamh, result);
  return result;
}

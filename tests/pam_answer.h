// A PAM conversation for callers that drive pam_ostrel.so (its test and benchmark).
#pragma once

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>

/// Answers every hidden prompt with the password that appdata points to.
inline int answer_password(int count, const pam_message** messages, pam_response** responses,
                           void* password) {
  auto* replies = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
  if (replies == nullptr) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF)
      replies[i].resp = strdup(static_cast<const char*>(password));
  }
  *responses = replies;
  return PAM_SUCCESS;
}

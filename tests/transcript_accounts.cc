// The accounts a transcript asks for before its run, made through the platform layer.
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "transcript_format.h"

namespace {

std::u16string wide(const std::string& text) {
  WCHAR buffer[512];
  const int units = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, buffer, 512);
  return units > 0 ? std::u16string(reinterpret_cast<const char16_t*>(buffer), units - 1)
                   : std::u16string();
}

std::vector<std::string> words_of(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

// account: <name> <password> [home=<dir>] [comment=<text>] [script=<path>] [disabled]
std::string create_transcript_account(const std::string& spec) {
  const std::vector<std::string> words = words_of(spec);
  if (words.size() < 2) return "bad account line: " + spec;
  std::u16string name = wide(words[0]);
  std::u16string password = wide(words[1]);
  std::u16string home, comment, script;
  bool has_home = false, has_comment = false, has_script = false, disabled = false;
  for (std::size_t i = 2; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w.rfind("home=", 0) == 0) {
      home = wide(w.substr(5));
      has_home = true;
    } else if (w.rfind("comment=", 0) == 0) {
      comment = wide(w.substr(8));
      has_comment = true;
    } else if (w.rfind("script=", 0) == 0) {
      script = wide(w.substr(7));
      has_script = true;
    } else if (w == "disabled") {
      disabled = true;
    } else {
      return "bad account word: " + w;
    }
  }
  auto text = [](std::u16string& s, bool present) -> LPWSTR {
    return present ? reinterpret_cast<LPWSTR>(s.data()) : nullptr;
  };
  USER_INFO_1 record{};
  record.usri1_name = text(name, true);
  record.usri1_password = text(password, words[1] != "-");
  record.usri1_priv = USER_PRIV_USER;
  record.usri1_home_dir = text(home, has_home);
  record.usri1_comment = text(comment, has_comment);
  record.usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
  if (disabled) record.usri1_flags |= UF_ACCOUNTDISABLE;
  record.usri1_script_path = text(script, has_script);
  DWORD parm = 0;
  const NET_API_STATUS status = NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&record), &parm);
  if (status != 0) {
    return "NetUserAdd for " + words[0] + " gave " + std::to_string(status) + " (parm " +
           std::to_string(parm) + ")";
  }
  return "";
}

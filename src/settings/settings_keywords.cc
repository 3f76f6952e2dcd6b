// The keywords of the settings file and what each one does.
#include <optional>
#include <string>

#include "log/log.h"
#include "settings/settings.h"
#include "settings/settings_internal.h"

namespace {

struct Keyword {
  const char* word;
  void (*apply)(const std::string& value, const char* log_name);
};

void store(std::optional<std::string>& field, const std::string& value) {
  field = value;
}

const char* text(const std::optional<std::string>& field) {
  return text_of(field);
}

// A lockout value: decimal digits in the range Windows' policy takes, else the setting
// keeps its value and the line says why.
void lockout_value(unsigned& field, const std::string& value, const char* what, unsigned low,
                   unsigned high, const char* unit) {
  unsigned long long number = 0;
  bool usable = !value.empty() && value.size() <= 9;
  for (const char c : value) {
    if (c < '0' || c > '9') usable = false;
    if (usable) number = number * 10 + static_cast<unsigned>(c - '0');
  }
  if (!usable || number < low || number > high) {
    log_debug("%s {%s} ignored: not a number from %u to %u", what, value.c_str(), low, high);
    return;
  }
  field = static_cast<unsigned>(number);
  log_debug("%s = %u%s", what, field, unit);
}

// The log takes the settings name up to its first dot, as the program name is made, so
// that a dotted name never turns the settings file itself into the log.
std::string log_name_of(const char* name) {
  std::string log_name = name == nullptr ? "" : name;
  const auto dot = log_name.find('.');
  if (dot != std::string::npos) log_name.erase(dot);
  return log_name;
}

const Keyword kKeywords[] = {
    {"path",
     [](const std::string& v, const char* log_name) {
       Settings& s = settings();
       store(s.work_path, v);
       log_open(text(s.work_path), log_name_of(log_name).c_str());
       log_debug("Workpath {%s}", text(s.work_path));
     }},
    {"log",
     [](const std::string& v, const char*) {
       parse_log_level(v.c_str());
       log_debug("Logging set to {%s}", v.c_str());
     }},
    {"group",
     [](const std::string& v, const char*) {
       store(settings().group, v);
       log_debug("Group for add {%s}", v.c_str());
     }},
    {"script_path",
     [](const std::string& v, const char*) {
       store(settings().script_path, v);
       log_debug("Path to scripts {%s}", v.c_str());
     }},
    {"host",
     [](const std::string& v, const char*) {
       store(settings().host, v);
       log_debug("Host computer {%s}", v.c_str());
     }},
    {"password_file",
     [](const std::string& v, const char*) {
       store(settings().password_file, v);
       log_debug("Password file {%s}", v.c_str());
     }},
    {"base_uid",
     [](const std::string& v, const char*) {
       store(settings().base_uid, v);
       log_debug("Base UID for user creation = %s", v.c_str());
     }},
    {"uname",
     [](const std::string& v, const char*) {
       store(settings().uname, v);
       log_debug("Default name for new users = %s", v.c_str());
     }},
    {"debug",
     [](const std::string&, const char*) {
       parse_log_level("debug");
       log_debug("Logging set to {%s}", "debug");
     }},
    {"home_path",
     [](const std::string& v, const char*) {
       store(settings().home_path, v);
       log_debug("Default home {%s}", v.c_str());
     }},
    {"home_owner",
     [](const std::string& v, const char*) {
       store(settings().home_owner, v);
       log_debug("Home owner {%s}", v.c_str());
     }},
    {"script",
     [](const std::string& v, const char*) {
       store(settings().script, v);
       log_debug("Default script / shell {%s}", v.c_str());
     }},
    {"shell",
     [](const std::string& v, const char*) {
       store(settings().script, v);
       log_debug("Default script / shell {%s}", v.c_str());
     }},
    {"shadow",
     [](const std::string& v, const char*) {
       if (v == "false" || v == "FALSE") settings().shadow = 0;
     }},
    {"shadow_file",
     [](const std::string& v, const char*) {
       store(settings().shadow_file, v);
       log_debug("Shadow file[%s]", v.c_str());
     }},
    {"sp_expire",
     [](const std::string& v, const char*) {
       store(settings().sp_expire, v);
       log_debug("Shadow password expires[%s]", v.c_str());
     }},
    {"sp_min",
     [](const std::string& v, const char*) {
       store(settings().sp_min, v);
       log_debug("Shadow minimum wait for [%s] days before change", v.c_str());
     }},
    {"sp_max",
     [](const std::string& v, const char*) {
       store(settings().sp_max, v);
       log_debug("Shadow maximum must change after [%s] days", v.c_str());
     }},
    {"sp_warn",
     [](const std::string& v, const char*) {
       store(settings().sp_warn, v);
       log_debug("Shadow warning [%s] days before expiry", v.c_str());
     }},
    {"sp_inact",
     [](const std::string& v, const char*) {
       store(settings().sp_inact, v);
       log_debug("Shadow [%s] days after account expires, it is disabled", v.c_str());
     }},
    {"log_passwords",
     [](const std::string& v, const char*) {
       if (v == "true" || v == "TRUE") {
         settings().log_passwords = 1;
         log_debug("WARNING Log passwords set to true");
       }
     }},
    {"account_db",
     [](const std::string& v, const char*) {
       store(settings().account_db, v);
       log_debug("Account database {%s}", v.c_str());
     }},
    {"ldap_base",
     [](const std::string& v, const char*) {
       store(settings().ldap_base, v);
       log_debug("LDAP base {%s}", v.c_str());
     }},
    {"ldap_bind_dn",
     [](const std::string& v, const char*) {
       store(settings().ldap_bind_dn, v);
       log_debug("LDAP bind DN {%s}", v.c_str());
     }},
    {"ldap_bind_pw_file",
     [](const std::string& v, const char*) {
       store(settings().ldap_bind_pw_file, v);
       log_debug("LDAP bind password file {%s}", v.c_str());
     }},
    {"ldap_ca_file",
     [](const std::string& v, const char*) {
       store(settings().ldap_ca_file, v);
       log_debug("LDAP CA file {%s}", v.c_str());
     }},
    {"lockout_threshold",
     [](const std::string& v, const char*) {
       lockout_value(settings().lockout_threshold, v, "Lockout threshold", 0, 999, "");
     }},
    {"lockout_duration",
     [](const std::string& v, const char*) {
       lockout_value(settings().lockout_duration, v, "Lockout duration", 0, 99999, " minutes");
     }},
    {"lockout_window",
     [](const std::string& v, const char*) {
       lockout_value(settings().lockout_window, v, "Lockout window", 1, 99999, " minutes");
     }},
    {"lockout_account_threshold",
     [](const std::string& v, const char*) {
       lockout_value(settings().lockout_account_threshold, v, "Lockout account threshold", 0, 9999,
                     "");
     }},
    {"lockout_tally_dir",
     [](const std::string& v, const char*) {
       store(settings().lockout_tally_dir, v);
       log_debug("Lockout tally directory {%s}", v.c_str());
     }},
    {"password_min_length",
     [](const std::string& v, const char*) {
       lockout_value(settings().password_min_length, v, "Password minimum length", 0, 256,
                     " characters");
     }},
    {"password_complexity",
     [](const std::string& v, const char*) {
       if (same_text(v.c_str(), "on") == 0 || same_text(v.c_str(), "true") == 0) {
         settings().password_complexity = 1;
       } else if (same_text(v.c_str(), "off") == 0 || same_text(v.c_str(), "false") == 0) {
         settings().password_complexity = 0;
       } else {
         log_debug("Password complexity {%s} ignored: not on or off", v.c_str());
         return;
       }
       log_debug("Password complexity %s", settings().password_complexity ? "on" : "off");
     }},
    {"password_history",
     [](const std::string& v, const char*) {
       lockout_value(settings().password_history, v, "Password history", 0, 24, " passwords");
     }},
    {"password_deny_list",
     [](const std::string& v, const char*) {
       store(settings().password_deny_list, v);
       log_debug("Password deny list {%s}", v.c_str());
     }},
};

}  // namespace

bool apply_setting(const std::string& keyword, const std::string& value, const char* log_name) {
  for (const Keyword& k : kKeywords) {
    if (same_text(keyword.c_str(), k.word) == 0) {
      k.apply(value, log_name);
      return true;
    }
  }
  return false;
}

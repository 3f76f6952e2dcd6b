// Eight ostrel processes work on one store at once, for a bounded time, each mixing set,
// check, lookup, search and del. Every reply is checked as it comes:
// - each process owns a few names that nobody else touches, so their replies must follow
//   a sequential model of that process's own commands exactly;
// - stable names, made before the start and never changed, must always be found, and a
//   search must always list every one of them;
// - contended names are set and deleted by everyone: any reply that some interleaving of
//   the others' commands explains is accepted, and nothing else (a busy store included).
// At the end the store must hold exactly what the owned names' models say, with no name
// twice.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ostrel_process.h"
#include "store_contents.h"
#include "ostrel_session.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr int kProcesses = 8;
constexpr int kOwnedNames = 3;
constexpr int kStableNames = 6;
constexpr int kContendedNames = 2;
constexpr int kMaxCommands = 120;  // per process
constexpr auto kWorkTime = std::chrono::seconds(12);
constexpr int kReplyWaitMs = 60000;
constexpr const char* kStablePassword = "Stable-pw1";
constexpr const char* kContendedPassword = "Race-pw1";


std::string owned_name(int process, int k) {
  return "own" + std::to_string(process) + "n" + std::to_string(k);
}

std::string stable_name(int j) {
  return "stable" + std::to_string(j);
}

std::string contended_name(int j) {
  return "race" + std::to_string(j);
}

struct OwnedState {
  bool exists = false;
  std::string password;
};

struct Worker {
  int id = 0;
  unsigned seed = 0;
  OstrelSession session;
  std::map<std::string, OwnedState> owned;
  std::vector<std::string> failures;
  int commands = 0;
  int exit_code = -1;
};

void fail(Worker& w, const std::string& command, const std::string& what) {
  if (w.failures.size() < 20)
    w.failures.push_back("process " + std::to_string(w.id) + ": '" + command + "' " + what);
}

// Sends one command and reads its reply lines: one line, or for a search every "+DATA"
// line and the line that ends it.
bool ask(Worker& w, const std::string& command, std::vector<std::string>& reply) {
  reply.clear();
  ++w.commands;
  if (!send_text(w.session, command + "\n")) {
    fail(w, command, "could not be sent (the process is gone)");
    return false;
  }
  std::string line;
  for (;;) {
    const LineResult got = read_line(w.session, line, kReplyWaitMs);
    if (got != LineResult::kLine) {
      fail(w, command, got == LineResult::kTimeout ? "got no reply in time" : "ended the output");
      return false;
    }
    reply.push_back(line);
    if (line.rfind("+DATA ", 0) != 0) return true;
  }
}

// One-line replies: the reply must be one of the allowed lines.
void ask_expecting(Worker& w, const std::string& command, const std::vector<std::string>& allowed) {
  std::vector<std::string> reply;
  if (!ask(w, command, reply)) return;
  if (reply.size() == 1 && std::find(allowed.begin(), allowed.end(), reply[0]) != allowed.end())
    return;
  std::string got;
  for (const std::string& line : reply) got += " [" + line + "]";
  std::string expected;
  for (const std::string& line : allowed) expected += " [" + line + "]";
  fail(w, command, "answered" + got + ", expected one of" + expected);
}

std::string found_line(std::size_t n) {
  return "+OK " + std::to_string(n) + (n == 1 ? " entry found." : " entries found.");
}

// Checks a search reply: the listed lines, in order, that the caller expects for the
// names it can decide, and a count that matches the lines.
void check_search(Worker& w, const std::string& pattern,
                  const std::vector<std::string>& must_list_exactly_for_prefix_own,
                  bool whole_store) {
  const std::string command = "search " + pattern;
  std::vector<std::string> reply;
  if (!ask(w, command, reply)) return;
  const std::size_t listed = reply.size() - 1;
  if (reply.back() != found_line(listed)) {
    fail(w, command,
         "ended with '" + reply.back() + "' after " + std::to_string(listed) + " lines");
    return;
  }
  std::vector<std::string> own_prefix_lines, stable_lines;
  std::set<std::string> seen;
  const std::string own_prefix = "+DATA own" + std::to_string(w.id) + "n";
  for (std::size_t i = 0; i < listed; ++i) {
    const std::string& line = reply[i];
    const std::string name = lower(line.substr(6, line.find(' ', 6) - 6));
    if (!seen.insert(name).second) fail(w, command, "listed " + name + " twice");
    if (line.rfind(own_prefix, 0) == 0) own_prefix_lines.push_back(line);
    if (line.rfind("+DATA stable", 0) == 0) stable_lines.push_back(line);
    const bool known_shape =
        name.rfind("own", 0) == 0 || name.rfind("race", 0) == 0 || name.rfind("stable", 0) == 0;
    if (!known_shape) fail(w, command, "listed '" + line + "'");
  }
  std::vector<std::string> stable_expected;
  for (int j = 0; j < kStableNames; ++j)
    stable_expected.push_back("+DATA " + stable_name(j) + " comment=\"stable\"");
  if (whole_store || pattern.rfind("stable", 0) == 0) {
    if (stable_lines != stable_expected) fail(w, command, "did not list every stable name");
  }
  if (whole_store || pattern.rfind("own", 0) == 0) {
    if (own_prefix_lines != must_list_exactly_for_prefix_own)
      fail(w, command, "listed this process's own names otherwise than they are");
  }
}

std::vector<std::string> owned_search_lines(const Worker& w) {
  std::vector<std::string> lines;
  for (const auto& [name, state] : w.owned)
    if (state.exists) lines.push_back("+DATA " + name + " comment=\"own\"");
  return lines;
}

// The name as typed in a command: now and then in capitals, which the store must ignore.
std::string typed(const std::string& name, std::mt19937& random) {
  std::string text = name;
  if (random() % 3 == 0)
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

void owned_command(Worker& w, std::mt19937& random) {
  const std::string name = owned_name(w.id, static_cast<int>(random() % kOwnedNames));
  OwnedState& state = w.owned[name];
  const std::string as_typed = typed(name, random);
  const std::string found = "+OK " + as_typed + " config 0 comment=\"own\"";
  const std::string refused = "-ERR " + as_typed + " does not exist or password incorrect.";
  const int kind = static_cast<int>(random() % 100);
  if (kind < 30) {
    const std::string password = "pw" + std::to_string(random() % 100000);
    ask_expecting(w, "set " + name + " " + password + " comment=own",
                  {"+OK " + name + " added to database."});
    state = OwnedState{true, password};
  } else if (kind < 50) {
    const std::string password = state.exists ? state.password : "pw-never";
    ask_expecting(w, "check " + as_typed + " " + password, {state.exists ? found : refused});
  } else if (kind < 60) {
    ask_expecting(w, "check " + as_typed + " wrong-" + state.password, {refused});
  } else if (kind < 75) {
    ask_expecting(w, "lookup " + as_typed,
                  {state.exists ? found : "-ERR User " + as_typed + " not found."});
  } else if (kind < 90) {
    ask_expecting(w, "del " + as_typed,
                  {state.exists ? "+OK Deleted user succesfully." : "+OK User account not found."});
    state.exists = false;
  } else {
    check_search(w, "own" + std::to_string(w.id) + "n*", owned_search_lines(w), false);
  }
}

void stable_command(Worker& w, std::mt19937& random) {
  const std::string name = stable_name(static_cast<int>(random() % kStableNames));
  const std::string as_typed = typed(name, random);
  const std::string found = "+OK " + as_typed + " config 0 comment=\"stable\"";
  const int kind = static_cast<int>(random() % 100);
  if (kind < 40) {
    ask_expecting(w, "lookup " + as_typed, {found});
  } else if (kind < 70) {
    ask_expecting(w, "check " + as_typed + " " + kStablePassword, {found});
  } else if (kind < 90) {
    check_search(w, "stable*", {}, false);
  } else {
    check_search(w, "*", owned_search_lines(w), true);
  }
}

// Every reply that some interleaving with the other processes explains.
void contended_command(Worker& w, std::mt19937& random) {
  const std::string name = contended_name(static_cast<int>(random() % kContendedNames));
  const std::string as_typed = typed(name, random);
  const int kind = static_cast<int>(random() % 100);
  if (kind < 35) {
    ask_expecting(w, std::string("set ") + name + " " + kContendedPassword + " comment=race",
                  {"+OK " + name + " added to database.",
                   // removed by another between this one's add and its removal
                   "-ERR 2221:Unknown error has occurred.",
                   // added again by another between this one's removal and its new add
                   "-ERR 2224:Unknown error has occurred.",
                   // another's add of the same name joined the group first
                   "-ERR User was already a member of group Guests.",
                   // removed by another before this one's join
                   "-ERR 1387:Unknown group error."});
  } else if (kind < 55) {
    ask_expecting(w, "check " + as_typed + " " + kContendedPassword,
                  {"+OK " + as_typed + " config 0 comment=\"race\"",
                   "-ERR " + as_typed + " does not exist or password incorrect.",
                   // removed between the logon and the read
                   "-ERR That user does not exist."});
  } else if (kind < 75) {
    ask_expecting(w, "lookup " + as_typed,
                  {"+OK " + as_typed + " config 0 comment=\"race\"",
                   "-ERR User " + as_typed + " not found."});
  } else {
    ask_expecting(w, "del " + as_typed,
                  {"+OK Deleted user succesfully.", "+OK User account not found."});
  }
}

void run_worker(Worker& w, std::chrono::steady_clock::time_point stop) {
  std::mt19937 random(w.seed);
  while (w.commands < kMaxCommands && std::chrono::steady_clock::now() < stop &&
         w.failures.empty()) {
    const int pool = static_cast<int>(random() % 100);
    if (pool < 35) {
      owned_command(w, random);
    } else if (pool < 55) {
      stable_command(w, random);
    } else {
      contended_command(w, random);
    }
  }
  if (w.session.pid > 0) {
    std::vector<std::string> reply;
    if (ask(w, "quit", reply) && reply != std::vector<std::string>{"+OK"})
      fail(w, "quit", "answered '" + reply[0] + "'");
    w.exit_code = finish_session(w.session, 60);
  }
}

bool add_stable_accounts(const fs::path& db) {
  platform_set_account_db(db.c_str());
  bool ok = true;
  for (int j = 0; j < kStableNames; ++j) {
    std::u16string name, password, comment = u"stable";
    for (char c : stable_name(j)) name.push_back(static_cast<char16_t>(c));
    for (const char* p = kStablePassword; *p; ++p) password.push_back(static_cast<char16_t>(*p));
    USER_INFO_1 record{};
    record.usri1_name = name.data();
    record.usri1_password = password.data();
    record.usri1_priv = USER_PRIV_USER;
    record.usri1_comment = comment.data();
    record.usri1_flags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;
    DWORD parm = 0;
    ok = ok && NetUserAdd(nullptr, 1, reinterpret_cast<LPBYTE>(&record), &parm) == 0;
  }
  platform_close_store();
  return ok;
}



TEST(Load, EightProcessesOnOneStoreGiveOnlyRightRepliesAndLoseNothing) {
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  const fs::path db = scratch.path / "ostrel.db";
  write_text(scratch.path / "ostrel.ini",
             "path " + scratch.path.string() + "\nlog info\naccount_db " + db.string() + "\n");
  ASSERT_TRUE(add_stable_accounts(db));
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));

  std::vector<Worker> workers(kProcesses);
  for (int p = 0; p < kProcesses; ++p) {
    Worker& w = workers[p];
    w.id = p;
    w.seed = seed + static_cast<unsigned>(p);
    for (int k = 0; k < kOwnedNames; ++k) w.owned[owned_name(p, k)];
    const fs::path err = scratch.path / ("stderr-" + std::to_string(p) + ".txt");
    ASSERT_TRUE(start_session(w.session, scratch.path, {}, err));
  }
  const auto stop = std::chrono::steady_clock::now() + kWorkTime;
  {
    std::vector<std::thread> threads;
    for (Worker& w : workers) threads.emplace_back(run_worker, std::ref(w), stop);
    for (std::thread& t : threads) t.join();
  }

  int commands = 0;
  for (const Worker& w : workers) {
    for (const std::string& failure : w.failures) ADD_FAILURE() << failure;
    EXPECT_EQ(w.exit_code, 0) << "process " << w.id << ": "
                              << read_text(scratch.path /
                                           ("stderr-" + std::to_string(w.id) + ".txt"));
    commands += w.commands;
  }
  EXPECT_GE(commands, kProcesses * 5) << "the processes hardly worked";

  const StoreContents store = read_store(db);
  EXPECT_EQ(store.integrity, "ok");
  EXPECT_EQ(store.counted, static_cast<long>(store.names.size()));
  const std::set<std::string> distinct(store.names.begin(), store.names.end());
  EXPECT_EQ(distinct.size(), store.names.size()) << "a name is there twice";
  std::set<std::string> expected;
  for (int j = 0; j < kStableNames; ++j) expected.insert(stable_name(j));
  for (const Worker& w : workers)
    for (const auto& [name, state] : w.owned)
      if (state.exists) expected.insert(name);
  std::set<std::string> decidable;
  for (const std::string& name : distinct)
    if (name.rfind("race", 0) != 0) decidable.insert(name);
  EXPECT_EQ(decidable, expected);
  for (const std::string& name : distinct) {
    if (name.rfind("stable", 0) == 0) continue;  // made without a group
    EXPECT_EQ(store.guests.count(name), 1u) << name << " is not in the group";
  }
}

}  // namespace

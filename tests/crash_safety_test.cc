// Kills ostrel with SIGKILL at random moments while it adds, replaces and deletes
// accounts, many times over one store, then checks the store itself: it is intact, and it
// holds exactly what the answered commands imply (the one command in progress at each kill
// may have taken effect or not, but never half: a replaced account is never missing).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ostrel_process.h"
#include "ostrel_session.h"
#include "store_contents.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRounds = 25;
constexpr int kCommandsPerRound = 30;
constexpr int kLongestRunMs = 400;  // shorter than a round's work
constexpr int kReplyWaitMs = 60000;

// What the store may hold for one name: it may be absent, present, or either (while the
// command that was running at a kill is not known to have taken effect).
struct Possible {
  bool absent = true;
  bool present = false;
  bool acknowledged_add = false;  // the last answered change was an add
  std::string history;            // what happened to it, for a failure message
};

struct Command {
  std::string name;
  bool add = true;
  std::string line;
};

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The commands of one round: mostly new accounts, then sets over accounts that exist
// (which replace them) and deletes of accounts that exist.
std::vector<Command> round_commands(int round, std::map<std::string, Possible>& model,
                                    std::mt19937& random, bool folded_names = true) {
  std::vector<std::string> existing;
  for (const auto& [name, possible] : model)
    if (possible.present && !possible.absent) existing.push_back(name);
  std::shuffle(existing.begin(), existing.end(), random);
  std::vector<Command> commands;
  for (int i = 0; i < kCommandsPerRound; ++i) {
    Command c;
    const unsigned pick = random() % 10;
    bool replace = false;
    if (pick < 5 || existing.empty()) {
      c.name = "r" + std::to_string(round) + "n" + std::to_string(i);
    } else {
      c.name = existing.back();
      existing.pop_back();
      replace = pick < 8;
      c.add = replace;
    }
    const std::string password = "pw" + std::to_string(round) + "x" + std::to_string(i);
    // Names are typed in another case now and then: the store compares them without case.
    // A replacement always is, so the stored spelling changes with it.
    std::string typed = c.name;
    if (!folded_names) {
      // Names of the host's accounts are case-sensitive: typed as they are.
    } else if (replace) {
      typed = upper(typed);
    } else if (random() % 3 == 0) {
      typed[0] = static_cast<char>(std::toupper(typed[0]));
    }
    c.line = c.add ? "set " + typed + " " + password + " comment=round" + std::to_string(round)
                   : "del " + typed;
    commands.push_back(c);
    model.try_emplace(c.name);
  }
  return commands;
}

// Applies the replies read for the commands sent; the first command without a reply may
// have run. False (with a message) on a reply that is not one of the command's own.
bool apply_replies(const std::vector<Command>& commands, const std::vector<std::string>& replies,
                   std::map<std::string, Possible>& model, std::string& problem) {
  for (std::size_t i = 0; i < commands.size(); ++i) {
    const Command& c = commands[i];
    Possible& p = model[c.name];
    const std::string typed = c.line.substr(4, c.name.size());
    if (i < replies.size()) {
      const std::string& reply = replies[i];
      p.history += " [" + c.line + "] -> [" + reply + "]";
      if (c.add && reply == "+OK " + typed + " added to database.") {
        p = Possible{false, true, true, p.history};
      } else if (!c.add && reply == "+OK Deleted user succesfully." && p.present) {
        p = Possible{true, false, false, p.history};
      } else if (!c.add && reply == "+OK User account not found." && p.absent) {
        p = Possible{true, false, false, p.history};
      } else {
        problem = "'" + c.line + "' answered '" + reply + "' after" + p.history;
        return false;
      }
    } else {
      p.history += " [" + c.line + "] -> killed";
      // Killed while this one ran (or before it started): either outcome, never a third.
      // A set over an existing account leaves it present, the old one or the new.
      if (c.add) {
        p.present = true;
      } else {
        p.absent = true;
      }
      p.acknowledged_add = false;
      return true;
    }
  }
  return true;
}

// Rounds of commands, each process killed at a random moment; model gets what the
// answered commands imply.
void run_killed_rounds(const fs::path& dir, std::mt19937& random, bool folded_names,
                       std::map<std::string, Possible>& model) {
  int killed_busy = 0;  // kills that came while a command was still unanswered
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::vector<Command> commands = round_commands(round, model, random, folded_names);
    std::string batch;
    for (const Command& c : commands) batch += c.line + "\n";

    OstrelSession session;
    ASSERT_TRUE(start_session(session, dir, {}, dir / "stderr.txt"));
    ASSERT_TRUE(send_text(session, batch));
    // Let it work for a random while, then kill it wherever it is.
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % kLongestRunMs));
    kill_session(session);

    // Whatever it answered before it died is still in the pipe.
    std::vector<std::string> replies;
    std::string line;
    while (read_line(session, line, kReplyWaitMs) == LineResult::kLine) replies.push_back(line);
    ASSERT_LE(replies.size(), commands.size());
    if (replies.size() < commands.size()) ++killed_busy;
    std::string problem;
    ASSERT_TRUE(apply_replies(commands, replies, model, problem)) << problem;
  }
  EXPECT_GT(killed_busy, kRounds / 2) << "the kills should mostly land while work is going on";
}

TEST(CrashSafety, KilledAtRandomTheStoreKeepsEveryAnsweredChangeAndNothingHalfDone) {
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  const fs::path db = scratch.path / "ostrel.db";
  write_text(scratch.path / "ostrel.ini",
             "path " + scratch.path.string() + "\nlog info\naccount_db " + db.string() + "\n");
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  std::map<std::string, Possible> model;
  ASSERT_NO_FATAL_FAILURE(run_killed_rounds(scratch.path, random, true, model));

  // A new process opens the store after the last kill and works normally.
  {
    OstrelSession session;
    ASSERT_TRUE(start_session(session, scratch.path, {}, scratch.path / "stderr.txt"));
    ASSERT_TRUE(send_text(session, "set after pw-after\nquit\n"));
    std::string line;
    ASSERT_EQ(read_line(session, line, kReplyWaitMs), LineResult::kLine);
    EXPECT_EQ(line, "+OK after added to database.");
    EXPECT_EQ(finish_session(session, 60), 0);
    model["after"] = Possible{false, true, true, ""};
  }

  const StoreContents store = read_store(db);
  EXPECT_EQ(store.integrity, "ok");
  EXPECT_TRUE(store.foreign_key_problems.empty());
  EXPECT_EQ(store.counted, static_cast<long>(store.names.size()));
  for (const auto& [name, possible] : model) {
    const std::size_t count = store.names.count(name);
    EXPECT_LE(count, 1u);
    if (count == 0) {
      EXPECT_TRUE(possible.absent)
          << "an account whose add was answered is missing:" << possible.history;
    } else {
      EXPECT_TRUE(possible.present)
          << "an account is there that no command made:" << possible.history;
    }
    if (possible.acknowledged_add && count == 1) {
      EXPECT_EQ(store.guests.count(name), 1u) << "an answered add left no group membership";
    }
  }
  for (const std::string& name : store.names)
    EXPECT_EQ(model.count(name), 1u) << "unexpected account " << name;
}

// The entries of one of the host's account files: name -> its fields after the name.
std::multimap<std::string, std::vector<std::string>> entries_of(const fs::path& file) {
  std::multimap<std::string, std::vector<std::string>> entries;
  for (const std::string& line : split_lines(read_text(file))) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t colon; (colon = line.find(':', start)) != std::string::npos; start = colon + 1)
      fields.push_back(line.substr(start, colon - start));
    fields.push_back(line.substr(start));
    const std::string name = fields.front();
    fields.erase(fields.begin());
    entries.emplace(name, fields);
  }
  return entries;
}

TEST(CrashSafety, KilledAtRandomTheHostFilesStayWholeAndKeepEveryAnsweredChange) {
  const ScratchDir scratch;
  ASSERT_FALSE(scratch.path.empty());
  const fs::path etc = scratch.path / "etc";
  fs::create_directories(etc);
  write_text(etc / "passwd", "root:x:0:0:root:/root:/bin/sh\n");
  write_text(etc / "shadow", "root:*:19000:0:99999:7:::\n");
  write_text(etc / "group", "root:x:0:\nGuests:x:546:\n");
  write_text(etc / "gshadow", "root:*::\nGuests:!::\n");
  write_text(scratch.path / "ostrel.ini",
             "path " + scratch.path.string() + "\nlog info\naccount_db system\npassword_file " +
                 (etc / "passwd").string() + "\nshadow_file " + (etc / "shadow").string() + "\n");
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);

  std::map<std::string, Possible> model;
  ASSERT_NO_FATAL_FAILURE(run_killed_rounds(scratch.path, random, false, model));
  {
    // The next writer finishes a change a kill left half-renamed.
    OstrelSession session;
    ASSERT_TRUE(start_session(session, scratch.path, {}, scratch.path / "stderr.txt"));
    ASSERT_TRUE(send_text(session, "set after pw-after\nquit\n"));
    std::string line;
    ASSERT_EQ(read_line(session, line, kReplyWaitMs), LineResult::kLine);
    EXPECT_EQ(line, "+OK after added to database.");
    EXPECT_EQ(finish_session(session, 60), 0);
    model["after"] = Possible{false, true, true, ""};
  }

  const auto passwd = entries_of(etc / "passwd");
  const auto shadow = entries_of(etc / "shadow");
  const auto group = entries_of(etc / "group");
  const auto gshadow = entries_of(etc / "gshadow");
  const auto members = [&](const char* name) {
    const auto it = group.find(name);
    return it == group.end() || it->second.size() < 3 ? std::string() : "," + it->second[2] + ",";
  };
  for (const auto& [name, possible] : model) {
    const std::size_t count = passwd.count(name);
    EXPECT_LE(count, 1u) << name;
    EXPECT_EQ(shadow.count(name), count) << name;
    if (count == 0) {
      EXPECT_TRUE(possible.absent) << "an answered add is missing:" << possible.history;
      continue;
    }
    EXPECT_TRUE(possible.present) << "an account no command made:" << possible.history;
    // Its own group, with the number of its primary group, is there with it.
    const auto own = group.find(name);
    ASSERT_NE(own, group.end()) << name;
    EXPECT_EQ(own->second[1], passwd.find(name)->second[2]) << name;
    EXPECT_EQ(gshadow.count(name), 1u) << name;
    if (possible.acknowledged_add) {
      EXPECT_NE(members("Guests").find("," + name + ","), std::string::npos)
          << "an answered add left no group membership";
    }
  }
  for (const auto& [name, fields] : passwd)
    EXPECT_TRUE(name == "root" || model.count(name) == 1) << "unexpected account " << name;
  for (const char* leftover : {"passwd.ostrel-journal", "passwd.ostrel-new", "passwd.lock"})
    EXPECT_FALSE(fs::exists(etc / leftover)) << leftover;
  if (geteuid() == 0 && access("/usr/sbin/pwck", X_OK) == 0) {
    const std::string root = scratch.path.string();
    EXPECT_EQ(std::system(("/usr/sbin/pwck -r -q -R " + root + " >&2").c_str()), 0);
    EXPECT_EQ(std::system(("/usr/sbin/grpck -r -R " + root + " >&2").c_str()), 0);
  }
}

}  // namespace

// The import: each form of line, then hashes made by other tools written into a store,
// logged on with, rewritten as argon2id, and the program's report.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "import_input.h"
#include "platform/posix/common/test_store.h"
#include "platform/posix/store/bulk.h"

namespace ostrel_posix {
namespace {

// Hashes of "Old-Pass.7\xC3\xBC" made by tools of other projects: doveadm pw (Dovecot 2.3,
// Debian 12), mkpasswd (whois), openssl passwd, python's crypt module.
constexpr const char* kPassword = "Old-Pass.7\xC3\xBC";
const struct {
  const char* line;
  const char* method;
} kMadeElsewhere[] = {
    {"dove512:{SHA512-CRYPT}$6$NtzPa1wtytBRDk8B$pTlN8eTAxHFe.0D02gfyBFYnO2snkjXvJ3wInEs."
     "NxL0EJ1B4TsKECzKKa9FFihfRJKt/lZvmWGem99gM71QF/::::/srv/mail/dove512::",
     "sha512crypt"},
    {"doveblf:{BLF-CRYPT}$2y$05$bJq7vMEJ208xyhIcQktrm.DqOS19Fd0jTml5m0aIn9RoEdMFeG6n2", "bcrypt"},
    {"doveargon:{ARGON2ID}$argon2id$v=19$m=65536,t=3,p=1$M7Az7z8ZGSPbNyeMbQv+Pw$ksVyZJsKpni/"
     "ePfI7UDzAqPAzpAy+IO0CgKIAsAeCD0",
     "argon2id"},
    {"doveargoni:{ARGON2I}$argon2i$v=19$m=32768,t=4,p=1$ToMPfFCj15SXzD6l92TiTg$eW9lcT1hF/"
     "FGQotW2/9m13LADajLwf8O11KGlaSKRuI",
     "argon2i"},
    {"dovessha:{SSHA512}huToRzcLsyqI92r7FiJoRtvo3EZB8wV++uMQFu7OcdSRaWaOu9onDylv5/"
     "9CrPr4lYqceyG8n06px6RgoiEmQlB+K3g=",
     "ssha512"},
    {"dovessha256:{SSHA256}5NJ+umG2d+QgdEo2Z0ltnIrCBlVZmGHqsSxWKMS7GLMbWbD6", "ssha256"},
    {"dovemd5:{MD5}$1$rABHn9J0$E9U6kqkGlZB1NoU5s8mNR.", "md5crypt"},
    {"yes:$y$j9T$G0ufm4eSmP.5duoDbJ8Id0$qEv4DuslVrerNCj.Zxp9HyPPRqy5pAxTKXA77NgkO8A:19700:0:"
     "99999:7:::",
     "yescrypt"},
    {"mk256:$5$pXLI4Zq4VsIzBL.b$BDloURINViiiPDfF2qYPUzipjvVXrZ8uGcHp9HfQTS0:19700::::::",
     "sha256crypt"},
    {"mkbcrypt:$2b$05$HyO40.f0H5HvP0zCM5M4XOImZrhfAVy.uU35ZIfHiLqfPAlkKpHR6", "bcrypt"},
    {"mkscrypt:$7$CU..../....JUqVwHGR8Ygo13NO0hD9X.$S3Cp4EEHdKj8T9gBC/YP/e4e1c7Z9.dK0oDw3o9mlH6",
     "scrypt"},
    {"openssl6:$6$QDqLTbpEQducNnkw$Uy/iS8wwRZ1HWmJDsO2/HNxOP7DPw0ZrUhOgEscS/"
     "8ZKPGTAVPwMD/PTBn2iqKP2QvRoHW8FUtN3Udq/5AbgR.",
     "sha512crypt"},
    {"python6:$6$ICnNeptElgVwazrQ$Q5kvGWWdXSjPsOIugvhKAiw8yR5Ilgar/eSKR9fB3zZMXxIjIFHiZ/"
     "Jm9wKqdJodEA5VyPICTZ8sZDVISTZtt0",
     "sha512crypt"},
};

TEST(ImportLines, TakesHashesAndSkipsWhatIsNoneOrUnverified) {
  const struct {
    const char* line;
    import::Line outcome;
    const char* method_or_reason;
  } cases[] = {
      {"# comment", import::Line::kEmpty, ""},
      {"", import::Line::kEmpty, ""},
      {"plain:{PLAIN}Old-Pass", import::Line::kSkipped, "not a hash"},
      {"clear:{cleartext}Old-Pass", import::Line::kSkipped, "not a hash"},
      {"md5:{PLAIN-MD5}b932a1590c64b865ece29d6f4868ac36", import::Line::kSkipped, "not a hash"},
      {"sha:{SHA}kzTN3TspFBrqz32i9IOY6MchT2M=", import::Line::kSkipped, "not a hash"},
      {"sha512:{SHA512.HEX}00", import::Line::kSkipped, "not a hash"},
      {"ssha1:{SSHA}zI+01KrABWIhec51j1v4lNs9a9R8zAUH", import::Line::kSkipped, "does not verify"},
      {"apr:$apr1$vVysi16b$7V0wQ9XI44HY71wZPrPYO0", import::Line::kSkipped, "method"},
      {"nthash:$3$$8846f7eaee8fb117ad06bdd830b7586c", import::Line::kSkipped, "method"},
      {"short:{SSHA256}5NJ+umG2d+QgdEo2Z0ltnIrCBlVZmGHqsSxWKMS7GLM=", import::Line::kSkipped,
       "salt"},
      {"enc:{SHA512-CRYPT.B64}JDYk", import::Line::kSkipped, "encoded"},
      {"locked:!:19700:0:99999:7:::", import::Line::kSkipped, "no password hash"},
      {"nologin:*:19700:0:99999:7:::", import::Line::kSkipped, "no password hash"},
      {"inpasswd:x:1000:1000::/home/inpasswd:/bin/sh", import::Line::kSkipped, "shadow"},
      {"empty::19700::::::", import::Line::kSkipped, "empty"},
      {"nohash", import::Line::kSkipped, "name:hash"},
      {"brace:{SHA512-CRYPT$6$x", import::Line::kSkipped, "brace"},
      {"des:P3qARWPiXyBvI", import::Line::kTaken, "descrypt"},
      {"bsdi:_J9..TgUt6eFa0v24A.U", import::Line::kTaken, "bsdicrypt"},
      {"sun:$md5,rounds=53994$G5BtClgm$$Zo6eFqOBuyYhhKE/T.wY8.", import::Line::kTaken, "sunmd5"},
      {"gost:$gy$j9T$FiYJASw9y1xN2Elthr/ow/$mUzAapeMpy3Leq3yPp64E6ZVLuOpBTH0l4Ppu4wLTTC",
       import::Line::kTaken, "gost-yescrypt"},
  };
  for (const auto& c : cases) {
    import::Entry entry;
    std::string reason;
    ASSERT_EQ(import::read_hash_line(c.line, &entry, &reason), c.outcome) << c.line;
    if (c.outcome == import::Line::kSkipped) {
      EXPECT_NE(reason.find(c.method_or_reason), std::string::npos) << c.line << ": " << reason;
    }
    if (c.outcome == import::Line::kTaken) {
      EXPECT_STREQ(entry.method, c.method_or_reason);
    }
  }
  for (const auto& made : kMadeElsewhere) {
    import::Entry entry;
    std::string reason;
    ASSERT_EQ(import::read_hash_line(made.line, &entry, &reason), import::Line::kTaken)
        << made.line << ": " << reason;
    EXPECT_STREQ(entry.method, made.method) << made.line;
  }
  // A passwd-file gives gecos, home and shell; a shadow line's numbers are no attributes; a
  // locked shadow hash comes in disabled.
  import::Entry entry;
  std::string reason;
  ASSERT_EQ(import::read_hash_line("ann:{CRYPT}P3qARWPiXyBvI:1001:1001:Ann A:/home/ann::userdb_x",
                                   &entry, &reason),
            import::Line::kTaken);
  EXPECT_EQ(entry.comment.value_or("-"), "Ann A");
  EXPECT_EQ(entry.home.value_or("-"), "/home/ann");
  EXPECT_FALSE(entry.script.has_value());
  ASSERT_EQ(import::read_hash_line("bob:!P3qARWPiXyBvI:19700:0:99999:7:::", &entry, &reason),
            import::Line::kTaken);
  EXPECT_TRUE(entry.disabled);
  EXPECT_FALSE(entry.home || entry.comment || entry.script);
  // Search output: a name with blanks ends where the first attribute begins.
  ASSERT_EQ(
      import::read_search_line("+DATA Ann Lee home=\"/h/a\" comment=\"x y\"", &entry, &reason),
      import::Line::kTaken);
  EXPECT_EQ(entry.name, "Ann Lee");
  EXPECT_EQ(entry.home.value_or("-"), "/h/a");
  EXPECT_EQ(entry.comment.value_or("-"), "x y");
  EXPECT_EQ(import::read_search_line("+OK 1 entry found.", &entry, &reason), import::Line::kEmpty);
  EXPECT_EQ(import::read_search_line("+DATA c comment=\"open", &entry, &reason),
            import::Line::kSkipped);
}

class ImportedHashTest : public StoreTest {
 protected:
  static DWORD logon(const std::string& user, const char* password) {
    HANDLE token = nullptr;
    if (LogonUserW(wide(user).c_str(), nullptr, wide(password).c_str(), LOGON32_LOGON_NETWORK,
                   LOGON32_PROVIDER_DEFAULT, &token)) {
      CloseHandle(token);
      return 0;
    }
    return GetLastError();
  }
  std::string stored_hash(const std::string& key) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT password_hash FROM accounts WHERE name_key = ?1", -1, &stmt,
                       nullptr);
    sqlite3_bind_text(stmt, 1, key.c_str(), -1, SQLITE_TRANSIENT);
    std::string hash;
    if (sqlite3_step(stmt) == SQLITE_ROW)
      hash = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return hash;
  }
  // Imports the lines through the bulk path: the result of each account.
  std::vector<DWORD> import_lines(const std::vector<std::string>& lines) {
    std::vector<import::Entry> entries(lines.size());
    std::vector<Record> records;
    std::vector<const std::string*> hashes;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      std::string reason;
      EXPECT_EQ(import::read_hash_line(lines[i], &entries[i], &reason), import::Line::kTaken)
          << lines[i] << reason;
      records.push_back(record(entries[i].name, nullptr));
      hashes.push_back(entries[i].hash ? &*entries[i].hash : nullptr);
    }
    std::vector<USER_INFO_1> infos;
    for (Record& r : records) infos.push_back(*reinterpret_cast<USER_INFO_1*>(r.bytes()));
    std::vector<DWORD> results(infos.size());
    EXPECT_EQ(bulk_import_accounts(infos.data(), hashes.data(), infos.size(), results.data()), 0u);
    return results;
  }
};

// Every hash made elsewhere refuses a wrong password, takes the right one, is then an
// argon2id of the current parameters that takes it too, and leaves the count of hashes
// still to rewrite; under the lockout policy the same wrong password repeated counts once.
TEST_F(ImportedHashTest, MadeElsewhereLogOnAndAreRewrittenAsArgon2id) {
  std::vector<std::string> lines;
  for (const auto& made : kMadeElsewhere) lines.push_back(made.line);
  for (const DWORD result : import_lines(lines)) EXPECT_EQ(result, 0u);
  std::map<std::string, std::size_t> pending;
  ASSERT_EQ(bulk_count_hash_methods(pending), 0u);
  EXPECT_EQ(pending["sha512crypt"], 3u);
  EXPECT_EQ(pending["bcrypt"], 2u);
  std::size_t left = std::size(kMadeElsewhere);
  for (const auto& made : kMadeElsewhere) {
    const std::string name(made.line, std::string_view(made.line).find(':'));
    std::string key = name;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string before = stored_hash(key);
    EXPECT_EQ(logon(name, "Old-Pass.7"), ERROR_LOGON_FAILURE) << name;
    EXPECT_EQ(stored_hash(key), before) << name << ": a refusal changes nothing";
    EXPECT_EQ(logon(name, kPassword), 0u) << name;
    const std::string after = stored_hash(key);
    EXPECT_STREQ(hash_method(after), "argon2id") << name;
    EXPECT_FALSE(hash_needs_renewal(after)) << name;
    EXPECT_EQ(logon(name, kPassword), 0u) << name;
    ASSERT_EQ(bulk_count_hash_methods(pending), 0u);
    std::size_t total = 0;
    for (const auto& [method, count] : pending) total += count;
    EXPECT_EQ(total, --left) << name;
  }
  // A stale wrong password against an imported hash gives the same key each time.
  for (const char* hash : {"{CRYPT}$2b$05$HyO40.f0H5HvP0zCM5M4XOImZrhfAVy.uU35ZIfHiLqfPAlkKpHR6",
                           "{SSHA256}5NJ+umG2d+QgdEo2Z0ltnIrCBlVZmGHqsSxWKMS7GLMbWbD6"}) {
    std::string first, second, right;
    EXPECT_FALSE(verify_password_keyed(hash, "stale", first));
    EXPECT_FALSE(verify_password_keyed(hash, "stale", second));
    EXPECT_TRUE(verify_password_keyed(hash, kPassword, right));
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first, second);
    EXPECT_TRUE(right.empty());
  }
}

// Under the lockout policy a device retrying one stale password against an imported hash
// counts once, and the right password still logs on and rewrites the hash.
TEST_F(ImportedHashTest, StalePasswordAgainstAnImportedHashCountsOnce) {
  platform_set_lockout_policy(PlatformLockoutPolicy{3, 30, 10});
  for (const DWORD result : import_lines({kMadeElsewhere[0].line, kMadeElsewhere[1].line}))
    EXPECT_EQ(result, 0u);
  for (const char* name : {"dove512", "doveblf"}) {
    for (int i = 0; i < 4; ++i) EXPECT_EQ(logon(name, "stale#pw"), ERROR_LOGON_FAILURE) << name;
    EXPECT_EQ(logon(name, kPassword), 0u) << name;
  }
  std::map<std::string, std::size_t> pending;
  ASSERT_EQ(bulk_count_hash_methods(pending), 0u);
  EXPECT_TRUE(pending.empty());
  platform_set_lockout_policy(PlatformLockoutPolicy{});
}

// The bulk path keeps its other accounts when one is refused, and refuses what it cannot
// verify even when a caller hands it over.
TEST_F(ImportedHashTest, RefusedAccountsLeaveTheOthers) {
  ASSERT_EQ(add(record("taken")), 0u);
  Record rs[] = {record("fresh", nullptr), record("taken", nullptr), record("bad/name", nullptr),
                 record("plain", nullptr), record("Fresh", nullptr)};
  const std::string good = "{CRYPT}P3qARWPiXyBvI", plain = "{PLAIN}Old-Pass";
  const std::string* hashes[] = {&good, &good, &good, &plain, &good};
  std::vector<USER_INFO_1> infos;
  for (Record& r : rs) infos.push_back(*reinterpret_cast<USER_INFO_1*>(r.bytes()));
  DWORD results[5] = {};
  ASSERT_EQ(bulk_import_accounts(infos.data(), hashes, 5, results), 0u);
  EXPECT_EQ(results[0], 0u);
  EXPECT_EQ(results[1], NERR_UserExists);
  EXPECT_EQ(results[2], ERROR_INVALID_PARAMETER);
  EXPECT_EQ(results[3], ERROR_INVALID_PASSWORD);
  EXPECT_EQ(results[4], NERR_UserExists) << "named twice, in another case";
  EXPECT_EQ(logon("fresh", "Old-Pass"), 0u);
  EXPECT_EQ(logon("taken", "Old-Pass"), ERROR_LOGON_FAILURE);
}

// The program: what it took and skipped and why, its exit status, and the count left.
TEST(ImportProgram, ReportsTakenAndSkippedAndWhatIsLeft) {
  char pattern[] = "/tmp/ostrel-import-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  std::ofstream(dir + "/ostrel.ini") << "path " << dir << "\n";
  std::ofstream(dir + "/passwd") << "# dovecot\n"
                                 << kMadeElsewhere[0].line << "\n"
                                 << "plain:{PLAIN}Old-Pass\n"
                                 << kMadeElsewhere[1].line << "\n";
  std::ofstream(dir + "/search") << "+DATA dove512 comment=\"from search\"\n"
                                 << "+DATA nohash home=\"/h\"\n+OK 2 entries found.\n";
  const auto run = [&](const std::string& args, std::string& out) {
    const std::string command = std::string(OSTREL_IMPORT_BINARY) + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[512];
    out.clear();
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string out;
  EXPECT_EQ(run(dir + "/ostrel.ini " + dir + "/passwd " + dir + "/search", out), 2) << out;
  EXPECT_NE(out.find("skipped " + dir + "/passwd:3 plain: not a hash"), std::string::npos) << out;
  EXPECT_NE(out.find("imported 3 accounts: bcrypt (1), sha512crypt (1), without a password (1); "
                     "1 skipped"),
            std::string::npos)
      << out;
  EXPECT_EQ(run("--remaining " + dir + "/ostrel.ini", out), 0) << out;
  EXPECT_EQ(out,
            "bcrypt 1\nsha512crypt 1\n2 accounts hold a hash brought in or of older "
            "parameters\n");
  EXPECT_EQ(run(dir + "/ostrel.ini " + dir + "/passwd", out), 2) << out;
  EXPECT_NE(out.find("dove512: the name is taken"), std::string::npos) << out;
  std::ofstream(dir + "/ldap.ini") << "account_db ldap://127.0.0.1\n";
  EXPECT_EQ(run(dir + "/ldap.ini " + dir + "/passwd", out), 1) << out;
  EXPECT_EQ(run(dir + "/ostrel.ini " + dir + "/missing", out), 1) << out;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

}  // namespace
}  // namespace ostrel_posix

// The host-account backend on scratch copies of passwd, shadow, group and gshadow.
#include <crypt.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/log.h"
#include "platform/posix/common/test_store.h"
#include "platform/posix/system/account_files.h"
#include "platform/posix/system/faillock_tally.h"
#include "platform/posix/system/system_files.h"

namespace ostrel_posix {
namespace {

constexpr const char* kPasswd =
    "root:x:0:0:root:/root:/bin/bash\n"
    "carol:x:1000:1000:Carol,,,:/home/carol:/bin/sh\n"
    "+@netgroup::::::\n";
constexpr const char* kShadow =
    "root:*:19000:0:99999:7:::\n"
    "carol:$6$salt$hash:19000:0:99999:7:::\n";
constexpr const char* kGroup = "root:x:0:\ncarol:x:1000:\nmail:x:8:carol\n";
constexpr const char* kGshadow = "root:*::\ncarol:!::\nmail:*::carol\n";

std::string read_all(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_all(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path) << text;
  chmod(path.c_str(), mode);
}

class SystemBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ostrel-system-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::filesystem::create_directory(dir_ + "/etc");
    write_all(file("passwd"), kPasswd, 0644);
    write_all(file("shadow"), kShadow, 0640);
    write_all(file("group"), kGroup, 0644);
    write_all(file("gshadow"), kGshadow, 0640);
    // Tallies stay in the scratch directory, whatever lockout policy a test sets.
    std::filesystem::create_directory(dir_ + "/etc/security");
    write_all(file("security/faillock.conf"), "# scratch\n  dir = " + dir_ + "/faillock  \n", 0644);
    PlatformSystemOptions options;
    const std::string passwd = file("passwd"), shadow = file("shadow");
    options.password_file = passwd.c_str();
    options.shadow_file = shadow.c_str();
    options.base_uid = "1000";
    platform_set_system_options(options);
    platform_set_account_db("system");
    platform_clear_faults();
  }
  void TearDown() override {
    platform_clear_faults();
    platform_set_lockout_policy(PlatformLockoutPolicy{});
    platform_set_system_options(PlatformSystemOptions{});
    platform_set_account_db("");
    std::error_code error;
    std::filesystem::remove_all(dir_, error);
  }
  std::string file(const char* name) const { return dir_ + "/etc/" + name; }

  // Runs the host's own checkers on the scratch files, where they can be run (as root).
  void expect_checkers_pass() {
    if (geteuid() != 0 || access("/usr/sbin/pwck", X_OK) != 0) return;
    EXPECT_EQ(std::system(("/usr/sbin/pwck -r -q -R " + dir_ + " >/dev/null 2>&1").c_str()), 0);
    EXPECT_EQ(std::system(("/usr/sbin/grpck -r -R " + dir_ + " >/dev/null 2>&1").c_str()), 0);
  }

  std::string dir_;
};

std::size_t tally_of_alice(const std::string& dir);

BOOL logon(const std::string& user, const std::string& password) {
  const std::u16string u = wide(user), p = wide(password);
  HANDLE token = nullptr;
  const BOOL ok = LogonUserW(u.c_str(), nullptr, p.c_str(), LOGON32_LOGON_NETWORK,
                             LOGON32_PROVIDER_DEFAULT, &token);
  if (ok) CloseHandle(token);
  return ok;
}

TEST_F(SystemBackendTest, AddChangeDeleteKeepOtherLinesAndOwnership) {
  Record alice = record("alice", "Wonder!land");
  alice.has_comment = true;
  alice.comment = u"Alice";
  ASSERT_EQ(add(alice), 0u);
  EXPECT_EQ(add(record("alice")), static_cast<DWORD>(NERR_UserExists));
  EXPECT_EQ(add(record("carol")), static_cast<DWORD>(NERR_UserExists));
  // The new account comes before the closing NIS line; everything else is untouched.
  EXPECT_EQ(read_all(file("passwd")),
            std::string(kPasswd).substr(0, std::string(kPasswd).rfind('+')) +
                "alice:x:1001:1001:Alice::/usr/sbin/nologin\n+@netgroup::::::\n");
  EXPECT_EQ(read_all(file("group")), std::string(kGroup) + "alice:x:1001:\n");
  EXPECT_EQ(read_all(file("gshadow")), std::string(kGshadow) + "alice:!::\n");
  const std::string shadow = read_all(file("shadow"));
  EXPECT_EQ(shadow.rfind(kShadow, 0), 0u);
  EXPECT_NE(shadow.find("\nalice:$y$"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(stat(file("shadow").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  expect_checkers_pass();

  EXPECT_TRUE(logon("alice", "Wonder!land"));
  EXPECT_FALSE(logon("alice", "wonder!land"));
  EXPECT_FALSE(logon("Alice", "Wonder!land"));  // names are case-sensitive

  // Joining a group writes both group files; a second join is refused.
  const std::u16string member = u"alice";
  LOCALGROUP_MEMBERS_INFO_3 info3{};
  info3.lgrmi3_domainandname = const_cast<LPWSTR>(member.c_str());
  EXPECT_EQ(NetLocalGroupAddMembers(nullptr, u"mail", 3, reinterpret_cast<LPBYTE>(&info3), 1), 0u);
  EXPECT_EQ(NetLocalGroupAddMembers(nullptr, u"mail", 3, reinterpret_cast<LPBYTE>(&info3), 1),
            static_cast<DWORD>(ERROR_MEMBER_IN_ALIAS));
  EXPECT_EQ(NetLocalGroupAddMembers(nullptr, u"Mail", 3, reinterpret_cast<LPBYTE>(&info3), 1),
            static_cast<DWORD>(NERR_GroupNotFound));
  EXPECT_NE(read_all(file("group")).find("mail:x:8:carol,alice\n"), std::string::npos);
  EXPECT_NE(read_all(file("gshadow")).find("mail:*::carol,alice\n"), std::string::npos);

  // Deleting takes the account, its own group and its memberships: the files are as before.
  EXPECT_EQ(NetUserDel(nullptr, u"alice"), 0u);
  EXPECT_EQ(NetUserDel(nullptr, u"alice"), static_cast<DWORD>(NERR_UserNotFound));
  EXPECT_EQ(read_all(file("passwd")), kPasswd);
  EXPECT_EQ(read_all(file("shadow")), kShadow);
  EXPECT_EQ(read_all(file("group")), kGroup);
  EXPECT_EQ(read_all(file("gshadow")), kGshadow);
  EXPECT_FALSE(std::filesystem::exists(file("passwd.lock")));
  expect_checkers_pass();
}

TEST_F(SystemBackendTest, RecordsLocksAndHashesOfOtherMethods) {
  // carol's sha512crypt hash, made by the host's own method, verifies.
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  ASSERT_NE(crypt_gensalt_rn("$6$", 0, nullptr, 0, setting, sizeof setting), nullptr);
  const std::string sha512 = crypt(("Old#pass"), setting);
  write_all(file("shadow"), "root:*:19000:0:99999:7:::\ncarol:" + sha512 + ":19000:0:99999:7:::\n",
            0640);
  EXPECT_FALSE(logon("carol", "old#pass"));
  EXPECT_NE(read_all(file("shadow")).find(sha512), std::string::npos);
  // A logon replaces it with a yescrypt hash; the day of the last change stays.
  EXPECT_TRUE(logon("carol", "Old#pass"));
  const std::string rehashed = read_all(file("shadow"));
  const std::size_t at = rehashed.find("carol:$y$");
  ASSERT_NE(at, std::string::npos);
  const std::string yescrypt = rehashed.substr(at + 6, rehashed.find(':', at + 6) - at - 6);
  EXPECT_NE(rehashed.find(yescrypt + ":19000:0:99999:7:::\n"), std::string::npos);
  EXPECT_TRUE(logon("carol", "Old#pass"));

  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetUserGetInfo(nullptr, u"carol", 1, &buffer), 0u);
  auto* info = reinterpret_cast<USER_INFO_1*>(buffer);
  EXPECT_EQ(narrow(info->usri1_comment), "Carol,,,");
  EXPECT_EQ(narrow(info->usri1_home_dir), "/home/carol");
  EXPECT_EQ(narrow(info->usri1_script_path), "/bin/sh");
  EXPECT_EQ(info->usri1_password, nullptr);

  // A disabled account is a locked hash: the right password then gets "disabled"; clearing
  // the flag unlocks it with the same hash.
  info->usri1_flags |= UF_ACCOUNTDISABLE;
  info->usri1_script_path = nullptr;  // the default shell
  ASSERT_EQ(NetUserSetInfo(nullptr, u"carol", 1, buffer, nullptr), 0u);
  EXPECT_NE(read_all(file("shadow")).find("carol:!" + yescrypt + ":"), std::string::npos);
  EXPECT_NE(
      read_all(file("passwd")).find("carol:x:1000:1000:Carol,,,:/home/carol:/usr/sbin/nologin\n"),
      std::string::npos);
  SetLastError(0);
  EXPECT_FALSE(logon("carol", "Old#pass"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCOUNT_DISABLED));
  info->usri1_flags &= ~UF_ACCOUNTDISABLE;
  ASSERT_EQ(NetUserSetInfo(nullptr, u"carol", 1, buffer, nullptr), 0u);
  EXPECT_TRUE(logon("carol", "Old#pass"));
  NetApiBufferFree(buffer);

  // Values that would break a line are refused with their field's index.
  struct Case {
    const char* what;
    void (*change)(Record&);
    DWORD parm;
  } cases[] = {
      {"colon in comment", [](Record& r) { r.has_comment = true, r.comment = u"a:b"; }, 6},
      {"newline in home", [](Record& r) { r.has_home_dir = true, r.home_dir = u"/h\nx"; }, 5},
      {"colon in shell", [](Record& r) { r.has_script_path = true, r.script_path = u"/bin:sh"; },
       8},
  };
  for (const Case& c : cases) {
    Record r = record("dave");
    c.change(r);
    DWORD parm = 0;
    EXPECT_EQ(NetUserAdd(nullptr, 1, r.bytes(), &parm), static_cast<DWORD>(ERROR_INVALID_PARAMETER))
        << c.what;
    EXPECT_EQ(parm, c.parm) << c.what;
  }
  // Unix names: the Windows rule's blanks and length, and names the host refuses.
  for (const char* bad :
       {"-dash", "a b", "123", "..", "name:x", "abcdefghijklmnopqrstuvwxyz1234567"})
    EXPECT_EQ(add(record(bad)), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bad;
  for (const char* good : {"Mixed.Case", "a23456789012345678901234567890ab", "host$"})
    EXPECT_EQ(add(record(good)), 0u) << good;
  expect_checkers_pass();
}

TEST_F(SystemBackendTest, KilledWriterLeavesWholeFilesAndTheNextOneFinishesTheChange) {
  // A writer stopped after its journal, before any rename: old files, whole.
  platform_inject_fault("commit_files", ERROR_BUSY);
  ASSERT_NE(add(record("erin")), 0u);
  EXPECT_EQ(read_all(file("passwd")), kPasswd);
  EXPECT_TRUE(std::filesystem::exists(file("passwd.ostrel-journal")));
  // The next writer completes the change first, then makes its own.
  ASSERT_EQ(add(record("frank")), 0u);
  EXPECT_FALSE(std::filesystem::exists(file("passwd.ostrel-journal")));
  EXPECT_FALSE(std::filesystem::exists(file("passwd.ostrel-new")));
  const std::string passwd = read_all(file("passwd"));
  EXPECT_NE(passwd.find("\nerin:x:1001:1001:"), std::string::npos);
  EXPECT_NE(passwd.find("\nfrank:x:1002:1002:"), std::string::npos);

  // A change left behind while another tool replaced a file is dropped for that file.
  platform_inject_fault("commit_files", ERROR_BUSY);
  ASSERT_NE(NetUserDel(nullptr, u"erin"), 0u);
  const std::string replaced = read_all(file("passwd")) + "gus:x:3000:3000::/:/bin/sh\n";
  write_all(file("passwd.tmp"), replaced, 0644);
  std::filesystem::rename(file("passwd.tmp"), file("passwd"));
  ASSERT_EQ(NetUserDel(nullptr, u"frank"), 0u);
  EXPECT_NE(read_all(file("passwd")).find("\nerin:x:"), std::string::npos);
  EXPECT_NE(read_all(file("passwd")).find("\ngus:x:"), std::string::npos);
  EXPECT_EQ(read_all(file("passwd")).find("\nfrank:x:"), std::string::npos);
}

std::vector<std::string> listed_names() {
  LPBYTE buffer = nullptr;
  DWORD read = 0, total = 0;
  EXPECT_EQ(NetUserEnum(nullptr, 1, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total, nullptr), 0u);
  std::vector<std::string> names;  // "!" after a disabled account's name
  for (DWORD i = 0; i < read; ++i) {
    const USER_INFO_1& user = reinterpret_cast<USER_INFO_1*>(buffer)[i];
    names.push_back(narrow(user.usri1_name) + ((user.usri1_flags & UF_ACCOUNTDISABLE) ? "!" : ""));
  }
  NetApiBufferFree(buffer);
  return names;
}

DWORD logon_code(const std::string& user, const std::string& password) {
  SetLastError(0);
  return logon(user, password) ? 0 : GetLastError();
}

TEST_F(SystemBackendTest, AccountsOutsideTheManagedRangeAreNobodysToTouch) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  ASSERT_NE(crypt_gensalt_rn("$6$", 0, nullptr, 0, setting, sizeof setting), nullptr);
  const std::string root_hash = crypt("Root#pw1", setting);
  const std::string passwd = std::string(kPasswd) +
                             "daemon:x:1:1::/usr/sbin:/usr/sbin/nologin\n"
                             "svc:x:abc:abc::/:/bin/sh\n"
                             "blank:x::1000::/:/bin/sh\n"
                             "nobody:x:65534:65534::/nonexistent:/usr/sbin/nologin\n";
  write_all(file("passwd"), passwd, 0644);
  // Out of step with the password file, carol's hash locked.
  write_all(file("shadow"),
            "carol:!$6$salt$hash:19000:0:99999:7:::\nroot:" + root_hash + ":19000:0:99999:7:::\n",
            0640);
  const std::string shadow = read_all(file("shadow"));
  for (const char16_t* name : {u"root", u"daemon", u"svc", u"blank", u"nobody"}) {
    LPBYTE buffer = nullptr;
    EXPECT_EQ(NetUserGetInfo(nullptr, name, 1, &buffer), static_cast<DWORD>(NERR_UserNotFound));
    EXPECT_EQ(NetUserDel(nullptr, name), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Record r = record(narrow(name));
    EXPECT_EQ(add(r), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(NetUserSetInfo(nullptr, name, 1, r.bytes(), nullptr),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    NET_API_STATUS removal = 0;
    platform_replace_user(nullptr, reinterpret_cast<USER_INFO_1*>(r.bytes()), nullptr, &removal);
    EXPECT_EQ(removal, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(logon_code("root", "Root#pw1"), static_cast<DWORD>(ERROR_LOGON_FAILURE));
  EXPECT_EQ(read_all(file("passwd")), passwd);
  EXPECT_EQ(read_all(file("shadow")), shadow);
  EXPECT_EQ(read_all(file("group")), kGroup);

  // New uids count on from the highest in use: a deleted one is not handed on, and the
  // end of the range is a refusal, not a wrap.
  write_all(file("login.defs"), "UID_MIN 500\nUID_MAX\t1004\n", 0644);
  ASSERT_EQ(add(record("alice")), 0u);
  ASSERT_EQ(add(record("bob")), 0u);
  ASSERT_EQ(NetUserDel(nullptr, u"alice"), 0u);
  ASSERT_EQ(add(record("mallory")), 0u);
  EXPECT_NE(read_all(file("passwd")).find("\nmallory:x:1003:1003:"), std::string::npos);
  ASSERT_EQ(add(record("trent")), 0u);
  const std::string full = read_all(file("passwd"));
  EXPECT_EQ(add(record("victor")), static_cast<DWORD>(NERR_InternalError));
  EXPECT_EQ(read_all(file("passwd")), full);
  ASSERT_EQ(NetUserDel(nullptr, u"trent"), 0u);  // the highest: still not handed on
  EXPECT_EQ(add(record("victor")), static_cast<DWORD>(NERR_InternalError));
  EXPECT_EQ((listed_names()), (std::vector<std::string>{"bob", "carol!", "mallory"}));
}

TEST_F(SystemBackendTest, TheAccountsOstrelRunsOnKeepTheirPasswordsAndAreNeverDeleted) {
  // As root the mail owner owns the log's directory and carol the log file; as another
  // user the mail owner is the user the test runs as.
  const bool root = geteuid() == 0;
  const unsigned long owner = root ? 5000 : geteuid();
  if (owner < 1000) GTEST_SKIP() << "needs root or a user of the managed range";
  const std::string id = std::to_string(owner);
  const std::string passwd = "carol:x:1000:1000:Carol:/home/carol:/bin/sh\nvmail:x:" + id + ":" +
                             id + "::/srv/mail:/usr/sbin/nologin\n";
  const std::string shadow =
      "carol:$6$salt$hash:19000:0:99999:7:::\n"
      "vmail:$6$salt$other:19000:0:99999:7:::\n";
  write_all(file("passwd"), passwd, 0644);
  write_all(file("shadow"), shadow, 0640);
  const std::string logs = dir_ + "/log";
  std::filesystem::create_directory(logs);
  if (root) {
    ASSERT_EQ(chown(logs.c_str(), owner, owner), 0);
  }
  ASSERT_EQ(log_open(logs.c_str(), "ostrel"), 1);
  if (root) {
    ASSERT_EQ(chown((logs + "/ostrel.log").c_str(), 1000, 1000), 0);
  }

  std::vector<const char16_t*> kept{u"vmail"};
  if (root) kept.push_back(u"carol");
  for (const char16_t* name : kept) {
    SCOPED_TRACE(narrow(name));
    Record with_password = record(narrow(name)), locked = record(narrow(name), nullptr),
           moved = record(narrow(name), nullptr);
    locked.flags |= UF_ACCOUNTDISABLE;
    moved.has_home_dir = true;
    moved.home_dir = u"/srv/elsewhere";
    EXPECT_EQ(NetUserDel(nullptr, name), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    NET_API_STATUS removal = 0;
    platform_replace_user(nullptr, reinterpret_cast<USER_INFO_1*>(with_password.bytes()), nullptr,
                          &removal);
    EXPECT_EQ(removal, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(NetUserSetInfo(nullptr, name, 1, with_password.bytes(), nullptr),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(NetUserSetInfo(nullptr, name, 1, locked.bytes(), nullptr),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(read_all(file("passwd")), passwd);
    EXPECT_EQ(read_all(file("shadow")), shadow);
    // Its other fields may change.
    EXPECT_EQ(NetUserSetInfo(nullptr, name, 1, moved.bytes(), nullptr), 0u);
    EXPECT_EQ(read_all(file("shadow")), shadow);
    EXPECT_NE(read_all(file("passwd")).find(":/srv/elsewhere:"), std::string::npos);
    write_all(file("passwd"), passwd, 0644);
  }
  reset_log_for_tests();
  // With the log closed the rule no longer holds for the owners of the log.
  if (root) {
    EXPECT_EQ(NetUserDel(nullptr, u"vmail"), 0u);
  }
}

TEST_F(SystemBackendTest, HomesAreMadeBelowHomePathAndOnlyNewOnesAreGiven) {
  const std::string homes = dir_ + "/homes";
  PlatformSystemOptions options;
  const std::string passwd = file("passwd"), shadow = file("shadow");
  options.password_file = passwd.c_str();
  options.shadow_file = shadow.c_str();
  options.base_uid = "1000";
  options.home_path = homes.c_str();
  platform_set_system_options(options);
  auto owner = [](const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_uid) : -1L;
  };
  auto with_home = [](const char* name, const std::string& home) {
    Record r = record(name);
    r.has_home_dir = true;
    r.home_dir = wide(home);
    return r;
  };
  ASSERT_EQ(add(record("eve")), 0u);  // made now, below home_path: hers
  const long root = geteuid() == 0 ? 0 : static_cast<long>(geteuid());
  EXPECT_EQ(owner(homes + "/eve"), geteuid() == 0 ? 1001L : root);

  // Directories that were there before keep their owner, wherever they are.
  std::filesystem::create_directories(homes + "/taken");
  std::filesystem::create_directories(dir_ + "/outside");
  ASSERT_EQ(add(with_home("mal", homes + "/taken")), 0u);
  ASSERT_EQ(add(with_home("oscar", dir_ + "/outside")), 0u);
  EXPECT_EQ(owner(homes + "/taken"), root);
  EXPECT_EQ(owner(dir_ + "/outside"), root);

  // Nothing is made elsewhere, nor through a link below home_path.
  errno = 0;
  EXPECT_EQ(make_directory((dir_ + "/outside/new").c_str()), -1);
  EXPECT_EQ(errno, EACCES);
  std::filesystem::create_directory_symlink(dir_ + "/outside", homes + "/link");
  EXPECT_EQ(make_directory((homes + "/link/new").c_str()), -1);
  ASSERT_EQ(add(with_home("peggy", homes + "/link/new")), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/outside/new"));

  // A home the set command's own chain made is given to the account.
  ASSERT_EQ(make_directory((homes + "/made").c_str()), 0);
  ASSERT_EQ(add(with_home("walter", homes + "/made")), 0u);
  EXPECT_EQ(owner(homes + "/made"), geteuid() == 0 ? 1005L : root);
}

TEST_F(SystemBackendTest, TheRightPasswordIsRefusedAsTheHostsAgeingRefusesIt) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE];
  ASSERT_NE(crypt_gensalt_rn("$6$", 0, nullptr, 0, setting, sizeof setting), nullptr);
  const std::string hash = crypt("Aged#pw1", setting);
  const std::string today = std::to_string(today_in_days());
  struct Case {
    std::string ageing;  // last change, min, max, warn, inactive, expiry
    DWORD code;
  } cases[] = {
      {today + ":0:99999:7::1", ERROR_ACCOUNT_EXPIRED},  // usermod -e 1
      {today + ":0:99999:7::" + today, ERROR_ACCOUNT_EXPIRED},
      {"0:0:99999:7::", ERROR_PASSWORD_MUST_CHANGE},
      {"1000:0:90:7::", ERROR_PASSWORD_EXPIRED},
      {"1000:0:90:7:30:", ERROR_PASSWORD_EXPIRED},  // past its inactive days too
      {today + ":0:90:7::", 0},
      {"::::::", 0},
  };
  for (const Case& c : cases) {
    write_all(file("shadow"), "carol:" + hash + ":" + c.ageing + ":\n", 0640);
    EXPECT_EQ(logon_code("carol", "Wrong#pw"), static_cast<DWORD>(ERROR_LOGON_FAILURE)) << c.ageing;
    EXPECT_EQ(logon_code("carol", "Aged#pw1"), c.code) << c.ageing;
  }
}

TEST_F(SystemBackendTest, AnAccountFileThatCannotBeReadIsAnOutage) {
  for (const bool directory : {false, true}) {
    std::filesystem::remove(file("shadow"));
    if (directory) std::filesystem::create_directory(file("shadow"));
    LPBYTE buffer = nullptr;
    const DWORD read = NetUserGetInfo(nullptr, u"carol", 1, &buffer);
    EXPECT_TRUE(read == ERROR_OPEN_FAILED || read == ERROR_ACCESS_DENIED) << read;
    EXPECT_EQ(logon_code("carol", "pw"), read);
    // For a name the password file does not have as well.
    EXPECT_EQ(NetUserGetInfo(nullptr, u"nobody", 1, &buffer), read);
    EXPECT_EQ(logon_code("nobody", "pw"), read);
    DWORD entries = 0, total = 0;
    EXPECT_EQ(NetUserEnum(nullptr, 1, 0, &buffer, MAX_PREFERRED_LENGTH, &entries, &total, nullptr),
              read);
    EXPECT_EQ(NetUserDel(nullptr, u"carol"), read);
    EXPECT_EQ(add(record("dave")), read);
    std::filesystem::remove(file("shadow"));
  }
}

TEST_F(SystemBackendTest, EightProcessesAtOnceAreCountedExactly) {
  ASSERT_EQ(add(record("alice", "Right#1")), 0u);
  PlatformLockoutPolicy policy;
  policy.threshold = 3;
  platform_set_lockout_policy(policy);
  int start[2];
  ASSERT_EQ(pipe(start), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < 8; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      close(start[1]);
      char go = 0;
      (void)!read(start[0], &go, 1);  // every child waits for the same moment
      // Each a password of its own: a repeated one would count once.
      const DWORD code = logon_code("alice", "wrong" + std::to_string(i));
      _exit(code == ERROR_LOGON_FAILURE ? 0 : code == ERROR_ACCOUNT_LOCKED_OUT ? 1 : 2);
    }
    children.push_back(child);
  }
  close(start[0]);
  close(start[1]);
  int wrong = 0, locked = 0;
  for (const pid_t child : children) {
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    wrong += WEXITSTATUS(status) == 0;
    locked += WEXITSTATUS(status) == 1;
  }
  EXPECT_EQ(wrong, 3);
  EXPECT_EQ(locked, 5);
  EXPECT_EQ(tally_of_alice(dir_ + "/faillock"), 3u);
  EXPECT_EQ(logon_code("alice", "Right#1"), static_cast<DWORD>(ERROR_ACCOUNT_LOCKED_OUT));
}

// The tally file of an account in dir, as a list of its records.
std::vector<TallyRecord> tally_of(const std::string& dir, const std::string& name) {
  TallyFile tally;
  EXPECT_EQ(tally.open(dir, name, true, 1001, false), 0u);  // alice's uid
  return tally.records();
}

// Moves every record of a tally file back by seconds: 64-byte records, the time in the
// last 8 bytes.
void age_tally(const std::string& path, std::int64_t seconds) {
  std::string raw = read_all(path);
  ASSERT_EQ(raw.size() % 64, 0u);
  for (std::size_t at = 56; at < raw.size(); at += 64) {
    std::int64_t time = 0;
    std::memcpy(&time, raw.data() + at, 8);
    time -= seconds;
    std::memcpy(raw.data() + at, &time, 8);
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << raw;
}

std::size_t tally_of_alice(const std::string& dir) {
  return tally_of(dir, "alice").size();
}

bool locked_out(const char16_t* name) {
  LPBYTE buffer = nullptr;
  EXPECT_EQ(NetUserGetInfo(nullptr, name, 1, &buffer), 0u);
  const bool locked = (reinterpret_cast<USER_INFO_1*>(buffer)->usri1_flags & UF_LOCKOUT) != 0;
  NetApiBufferFree(buffer);
  return locked;
}

TEST_F(SystemBackendTest, WrongPasswordsOfTwoProcessesLockTheAccountInTheHostsTally) {
  const std::string tallies = dir_ + "/faillock";
  ASSERT_EQ(add(record("alice", "Right#1")), 0u);
  PlatformLockoutPolicy policy;
  policy.threshold = 3;
  platform_set_lockout_policy(policy);

  // A right password before the threshold starts the count again. Every wrong password
  // differs: a repeated one would count once.
  EXPECT_FALSE(logon("alice", "wrong1"));
  EXPECT_FALSE(logon("alice", "wrong2"));
  EXPECT_TRUE(logon("alice", "Right#1"));
  EXPECT_TRUE(tally_of(tallies, "alice").empty());

  // This process and a child alternate; the third wrong password locks the account.
  EXPECT_FALSE(logon("alice", "wrong3"));
  const pid_t child = fork();
  if (child == 0) _exit(!logon("alice", "wrong4") && GetLastError() == ERROR_LOGON_FAILURE ? 0 : 1);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(locked_out(u"alice"));
  SetLastError(0);
  EXPECT_FALSE(logon("alice", "wrong5"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOGON_FAILURE));
  SetLastError(0);
  EXPECT_FALSE(logon("alice", "Right#1"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCOUNT_LOCKED_OUT));
  EXPECT_TRUE(locked_out(u"alice"));
  // Attempts while locked are not recorded: the lock runs from the third.
  std::vector<TallyRecord> records = tally_of(tallies, "alice");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].source, "ostrel");
  EXPECT_EQ(records[0].status, kTallyValid);
  struct stat info {};
  ASSERT_EQ(stat((tallies + "/alice").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  if (access("/usr/sbin/faillock", X_OK) == 0) {
    const std::string listing = dir_ + "/listing";
    ASSERT_EQ(
        std::system(("/usr/sbin/faillock --dir " + tallies + " --user alice >" + listing).c_str()),
        0);
    const std::string text = read_all(listing);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5) << text;  // name, heading, 3
  }

  // An unknown name is refused alike and gets no file.
  EXPECT_FALSE(logon("nobody", "wrong"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_LOGON_FAILURE));
  EXPECT_FALSE(std::filesystem::exists(tallies + "/nobody"));

  // Once the duration has passed since the lock, the right password is taken.
  age_tally(tallies + "/alice", 31 * 60);
  EXPECT_FALSE(locked_out(u"alice"));
  EXPECT_TRUE(logon("alice", "Right#1"));

  // A set without the flag unlocks; one that keeps it does not.
  for (int i = 0; i < 3; ++i) logon("alice", "again" + std::to_string(i));
  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetUserGetInfo(nullptr, u"alice", 1, &buffer), 0u);
  auto* alice = reinterpret_cast<USER_INFO_1*>(buffer);
  ASSERT_NE(alice->usri1_flags & UF_LOCKOUT, 0u);
  ASSERT_EQ(NetUserSetInfo(nullptr, u"alice", 1, buffer, nullptr), 0u);
  EXPECT_TRUE(locked_out(u"alice"));
  alice->usri1_flags &= ~UF_LOCKOUT;
  ASSERT_EQ(NetUserSetInfo(nullptr, u"alice", 1, buffer, nullptr), 0u);
  NetApiBufferFree(buffer);
  EXPECT_TRUE(logon("alice", "Right#1"));

  // A new password through a replace unlocks; a delete takes the file.
  for (int i = 0; i < 3; ++i) logon("alice", "later" + std::to_string(i));
  Record fresh = record("alice", "Fresh#2");
  NET_API_STATUS removal = 0;
  ASSERT_EQ(platform_replace_user(nullptr, reinterpret_cast<USER_INFO_1*>(fresh.bytes()), nullptr,
                                  &removal),
            0u);
  EXPECT_TRUE(logon("alice", "Fresh#2"));
  EXPECT_TRUE(std::filesystem::exists(tallies + "/alice"));
  EXPECT_EQ(NetUserDel(nullptr, u"alice"), 0u);
  EXPECT_FALSE(std::filesystem::exists(tallies + "/alice"));
}

// Counting records of source in an account's tally.
std::size_t records_of(const std::vector<TallyRecord>& records, const std::string& source) {
  return static_cast<std::size_t>(std::count_if(records.begin(), records.end(), [&](auto& r) {
    return r.source == source && r.status == (kTallyValid | kTallyRemote);
  }));
}

TEST_F(SystemBackendTest, SourcesAreThrottledApartAndTheAccountLocksAtItsOwnThreshold) {
  const std::string tallies = dir_ + "/faillock";
  ASSERT_EQ(add(record("alice", "Right#1")), 0u);
  PlatformLockoutPolicy policy;
  policy.threshold = 3;
  policy.account_threshold = 8;
  platform_set_lockout_policy(policy);
  const auto from = [](const char* source, const std::string& password) {
    platform_set_logon_source(source);
    const DWORD code = logon_code("alice", password);
    return std::pair(code, platform_last_logon_refusal());
  };
  using R = LogonRefusal;
  const DWORD kWrong = ERROR_LOGON_FAILURE, kOut = ERROR_ACCOUNT_LOCKED_OUT;
  struct Step {
    const char* source;
    const char* password;
    DWORD code;
    LogonRefusal why;
  } steps[] = {
      {"192.0.2.1", "a1", kWrong, R::kWrongPassword},
      {"192.0.2.2", "b1", kWrong, R::kWrongPassword},
      {"192.0.2.2", "Right#1", 0, R::kNone},  // clears 192.0.2.2's record only
      {"192.0.2.1", "a2", kWrong, R::kWrongPassword},
      {"192.0.2.1", "a2", kWrong, R::kRepeatedPassword},  // stale: counts once
      {"192.0.2.2", "a1", kWrong, R::kRepeatedPassword},  // stale from another source too
      {"192.0.2.1", "a3", kWrong, R::kWrongPassword},     // the third: throttled from now
      {"192.0.2.1", "Right#1", kOut, R::kThrottledSource},
      {"192.0.2.1", "a4", kOut, R::kThrottledSource},
      {"192.0.2.2", "Right#1", 0, R::kNone},  // the owner elsewhere goes on
  };
  for (const Step& step : steps) {
    const auto [code, why] = from(step.source, step.password);
    EXPECT_EQ(code, step.code) << step.source << " " << step.password;
    EXPECT_EQ(why, step.why) << step.source << " " << step.password;
  }
  std::vector<TallyRecord> records = tally_of(tallies, "alice");
  EXPECT_EQ(records_of(records, "192.0.2.1"), 3u);
  EXPECT_EQ(records_of(records, "192.0.2.2"), 0u);
  EXPECT_FALSE(locked_out(u"alice"));
  platform_set_logon_source("192.0.2.9");
  EXPECT_EQ(logon_code("nobody", "x"), static_cast<DWORD>(ERROR_LOGON_FAILURE));
  EXPECT_EQ(platform_last_logon_refusal(), LogonRefusal::kUnknownName);

  // Three sources more: the eighth wrong password of all locks the account everywhere.
  for (const char* source : {"192.0.2.3", "192.0.2.4"})
    for (const char* password : {"c1", "c2"})
      EXPECT_EQ(from(source, std::string(source) + password).first, kWrong);
  EXPECT_FALSE(locked_out(u"alice"));
  EXPECT_EQ(from("2001:db8:1:2::5", "d1").first, kWrong);
  EXPECT_TRUE(locked_out(u"alice"));
  EXPECT_EQ(from("192.0.2.2", "Right#1"), std::pair(kOut, R::kLockedAccount));
  EXPECT_EQ(from("", "Right#1"), std::pair(kOut, R::kLockedAccount));
  records = tally_of(tallies, "alice");
  EXPECT_EQ(records.size(), 8u);
  EXPECT_EQ(records_of(records, "2001:db8:1:2::/64"), 1u);
  EXPECT_TRUE(std::filesystem::exists(tallies + "/alice:recent"));
  if (access("/usr/sbin/faillock", X_OK) == 0) {
    const std::string listing = dir_ + "/listing";
    ASSERT_EQ(
        std::system(("/usr/sbin/faillock --dir " + tallies + " --user alice >" + listing).c_str()),
        0);
    const std::string text = read_all(listing);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 10) << text;  // name, heading, 8
    EXPECT_NE(text.find("RHOST 192.0.2.1 "), std::string::npos) << text;
    EXPECT_NE(text.find("RHOST 2001:db8:1:2::/64 "), std::string::npos) << text;
  }

  // A set without the flag clears every count of the account, and its recent passwords.
  LPBYTE buffer = nullptr;
  ASSERT_EQ(NetUserGetInfo(nullptr, u"alice", 1, &buffer), 0u);
  reinterpret_cast<USER_INFO_1*>(buffer)->usri1_flags &= ~UF_LOCKOUT;
  ASSERT_EQ(NetUserSetInfo(nullptr, u"alice", 1, buffer, nullptr), 0u);
  NetApiBufferFree(buffer);
  EXPECT_TRUE(tally_of(tallies, "alice").empty());
  EXPECT_FALSE(std::filesystem::exists(tallies + "/alice:recent"));
  EXPECT_EQ(from("192.0.2.1", "Right#1").first, 0u);
  platform_set_logon_source(nullptr);
}

TEST(FaillockTallyTest, ReadsRecordsAsTheHostDoes) {
  const LockoutPolicy policy{.threshold = 3, .duration_s = 600, .window_s = 900};
  const std::int64_t now = 100000;
  struct Case {
    std::vector<int> ages;  // seconds before now; negative: a record that no longer counts
    bool locked;
  } cases[] = {
      {{0, 0, 0}, true},       {{0, 0}, false}, {{700, 700, 700}, false},  // the lock ran out
      {{1000, 0, 0}, false},    // the first is outside the window
      {{800, 800, 500}, true},  // the window runs back from the newest
      {{-1, 0, 0}, false},
  };
  for (const Case& c : cases) {
    std::vector<TallyRecord> records;
    for (const int age : c.ages)
      records.push_back({"x", static_cast<std::uint16_t>(age < 0 ? 0 : kTallyValid), now - age});
    EXPECT_EQ(tally_records_locked(records, now, policy), c.locked)
        << ::testing::PrintToString(c.ages);
  }
  std::vector<TallyRecord> forever(3, {"x", kTallyValid, now - 99999});
  EXPECT_TRUE(tally_records_locked(
      forever, now, LockoutPolicy{.threshold = 3, .duration_s = 0, .window_s = 900}));

  // After a lock has run out, and past the window, the count starts again.
  std::vector<TallyRecord> records(3, {"x", kTallyValid, now - 700});
  add_tally_failure(records, now, policy);
  add_tally_failure(records, now, policy);
  EXPECT_FALSE(tally_records_locked(records, now, policy));
  add_tally_failure(records, now + 899, policy);
  EXPECT_TRUE(tally_records_locked(records, now + 899, policy));
  add_tally_failure(records, now + 2000,
                    LockoutPolicy{.threshold = 5, .duration_s = 600, .window_s = 900});
  EXPECT_EQ(std::count_if(records.begin(), records.end(),
                          [](const TallyRecord& r) { return r.status == kTallyValid; }),
            1);
}

TEST(AccountFilesTest, EntriesMembersAndLastLines) {
  struct Case {
    std::string text, insert, want;
  } cases[] = {
      {"a:x\n", "b:x", "a:x\nb:x\n"},
      {"a:x", "b:x", "a:x\nb:x\n"},  // a last line without newline gets one
      {"a:x\n+::\n-bad\n", "b:x", "a:x\nb:x\n+::\n-bad\n"},
      {"", "b:x", "b:x\n"},
  };
  for (const Case& c : cases) {
    char path[] = "/tmp/ostrel-file-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, c.text.data(), c.text.size()), static_cast<ssize_t>(c.text.size()));
    close(fd);
    AccountFile file;
    ASSERT_EQ(read_account_file(path, file), 0u);
    EXPECT_EQ(file_text(file), c.text);
    insert_entry(file, c.insert);
    EXPECT_EQ(file_text(file), c.want) << c.text;
    unlink(path);
  }
  AccountFile nis;
  nis.lines = {"+alice::::::", "#alice:x", "alice:x:1"};
  EXPECT_EQ(find_entry(nis, "alice"), 2);
  EXPECT_EQ(find_entry(nis, "alic"), -1);

  // Reading up to one entry finds the line find_entry finds in the whole file, across
  // reads and in a line longer than one read.
  const std::string filler(70000, 'f'), many = [] {
    std::string lines;
    for (int i = 0; i < 3000; ++i) lines += "user" + std::to_string(i) + ":x:1:1::/:/bin/sh\n";
    return lines;
  }();
  struct Scan {
    std::string text, name, want;  // want: the line found, empty for none
  } scans[] = {
      {"root:x:0\nalice:x:1", "alice", "alice:x:1"},  // the last line, without newline
      {"alicex:x:1\nalic:x:2\nalice:x:3\n", "alice", "alice:x:3"},
      {"Alice:x:1\nALICE:x:2\n", "alice", ""},  // names are compared exactly
      {"+alice::\n-alice\n#alice:x\n\nalice\nalice:x:2\n", "alice", "alice"},
      {"alice:x:1\nalice:x:2\n", "alice", "alice:x:1"},
      {many + "alice:x:1\n", "alice", "alice:x:1"},
      {many, "user2999", "user2999:x:1:1::/:/bin/sh"},
      {"#" + filler + "\nalice:" + filler, "alice", "alice:" + filler},
      {"", "alice", ""},
      {"alice:x:1\n", "alic", ""},
  };
  for (const Scan& c : scans) {
    char path[] = "/tmp/ostrel-file-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, c.text.data(), c.text.size()), static_cast<ssize_t>(c.text.size()));
    close(fd);
    AccountFile whole, one;
    ASSERT_EQ(read_account_file(path, whole), 0u);
    ASSERT_EQ(read_account_entry(path, c.name, one), 0u);
    const int at = find_entry(whole, c.name);
    EXPECT_EQ(at < 0 ? std::string() : whole.lines[static_cast<std::size_t>(at)], c.want)
        << c.text.substr(0, 40);
    EXPECT_EQ(one.lines, at < 0 ? std::vector<std::string>() : std::vector{c.want})
        << c.text.substr(0, 40);
    unlink(path);
  }

  std::string list = "ann,bob";
  EXPECT_FALSE(add_member(list, "bob"));
  EXPECT_TRUE(add_member(list, "bo"));
  EXPECT_TRUE(remove_member(list, "bob"));
  EXPECT_FALSE(remove_member(list, "an"));
  EXPECT_EQ(list, "ann,bo");
}

}  // namespace
}  // namespace ostrel_posix

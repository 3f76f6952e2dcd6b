#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "accounts/accounts_test_support.h"

namespace {

using HomeDirectoryTest = AccountsTest;
namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(HomeDirectoryTest, TrailingSeparatorInBothForms) {
  struct Case {
    char separator;
    std::string path;
    std::string result;
  };
  const std::string long_path(600, 'p');
  const Case cases[] = {
      {'/', "/home/bob", "/home/bob/"},
      {'/', "/home/bob/", "/home/bob/"},
      {'/', "d:\\users", "d:\\users/"},
      {'\\', "d:\\users\\bob", "d:\\users\\bob\\"},
      {'\\', "d:\\users\\bob\\", "d:\\users\\bob\\"},
      {'\\', "/home/bob", "/home/bob\\"},
      {'/', long_path, long_path.substr(0, 511) + "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 20));
    set_path_separator_for_tests(c.separator);
    EXPECT_EQ(ensure_trailing_backslash(c.path.c_str()), c.result);
  }
}

TEST_F(HomeDirectoryTest, OnlyAbsolutePathsAreProbed) {
  struct Case {
    char separator;
    const char* path;
    int result;
  };
  const Case cases[] = {
      {'/', "users/bob", -1},
      {'/', "", -1},
      {'/', "\\\\server\\share\\bob", -1},
      {'/', "d:\\users\\bob", -1},
      {'\\', "\\\\server\\share\\bob", -1},
      {'\\', "users\\bob", -1},
      {'\\', "/home/bob", -1},
      {'\\', "d", -1},
      {'\\', "", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    set_path_separator_for_tests(c.separator);
    const std::string before = log_text();
    EXPECT_EQ(probe_home_directory(c.path), c.result);
    const std::string lines = log_text().substr(before.size());
    EXPECT_NE(lines.find(std::string("INFO Find home directory {") + c.path + "}"),
              std::string::npos);
    EXPECT_EQ(lines.find("Opening"), std::string::npos);
  }
  EXPECT_EQ(probe_home_directory(nullptr), 0);
}

TEST_F(HomeDirectoryTest, ProbeLeavesTheDirectoryAsItWas) {
  EXPECT_EQ(probe_home_directory(dir_.c_str()), 1);
  EXPECT_FALSE(fs::exists(dir_ + "/test.tmp"));
  std::string log = log_text();
  EXPECT_NE(log.find("DEBUG Opening {" + dir_ + "/test.tmp}"), std::string::npos);
  EXPECT_NE(log.find("DEBUG Removing {" + dir_ + "/test.tmp}"), std::string::npos);

  // Files of the probe's names that were there before are neither emptied nor removed.
  std::ofstream(dir_ + "/test.tmp") << "mail data";
  fs::create_directory(dir_ + "/test1.tmp");
  EXPECT_EQ(probe_home_directory(dir_.c_str()), 1);
  EXPECT_EQ(read_file(dir_ + "/test.tmp"), "mail data");
  EXPECT_TRUE(fs::is_directory(dir_ + "/test1.tmp"));
  EXPECT_FALSE(fs::exists(dir_ + "/test2.tmp"));
  log = log_text();
  EXPECT_NE(log.find("DEBUG Removing {" + dir_ + "/test2.tmp}"), std::string::npos);
  EXPECT_EQ(log.find("Removing {" + dir_ + "/test1.tmp}"), std::string::npos);

  EXPECT_EQ(probe_home_directory((dir_ + "/missing").c_str()), 0);
}

TEST_F(HomeDirectoryTest, ChainCreatesTheMissingDirectories) {
  const std::string home = dir_ + "/users/bob/mail";
  int result = -1;
  EXPECT_EQ(captured([&] { result = create_directory_chain(home.c_str()); }), "");
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(fs::is_directory(home));
  const std::string log = log_text();
  for (const std::string& prefix : {dir_ + "/users", dir_ + "/users/bob", home}) {
    EXPECT_NE(log.find("INFO Create (" + prefix + ")?"), std::string::npos) << prefix;
    EXPECT_NE(log.find("INFO Created '" + prefix + "' Directory"), std::string::npos) << prefix;
  }
  // Existing directories, given with or without the trailing separator.
  EXPECT_EQ(captured([&] { result = create_directory_chain((home + "/").c_str()); }), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(captured([&] { result = create_directory_chain("/"); }), "");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(create_directory_chain(nullptr), 0);
}

TEST_F(HomeDirectoryTest, ChainAnswersOneOnlyWhenTheDirectoryExists) {
  std::ofstream(dir_ + "/file") << "x";
  fs::create_symlink(dir_ + "/nowhere/deeper", dir_ + "/dangling");
  struct Case {
    std::string path;
    std::string reply;
  };
  const Case cases[] = {
      // The path to a prefix is not found: the reply names that prefix.
      {dir_ + "/dangling/bob/mail", "-ERR Unable to create home directory '" + dir_ +
                                        "/dangling/bob', No such file or directory\n"},
      // A file stands where a directory should be.
      {dir_ + "/file", "-ERR Unable to create home directory '" + dir_ + "/file', File exists\n"},
      {dir_ + "/file/bob",
       "-ERR Unable to create home directory '" + dir_ + "/file/bob', Not a directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    int result = -1;
    EXPECT_EQ(captured([&] { result = create_directory_chain(c.path.c_str()); }), c.reply);
    EXPECT_EQ(result, 0);
  }

  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  const std::string locked = dir_ + "/locked";
  fs::create_directory(locked);
  chmod(locked.c_str(), 0555);
  int result = -1;
  EXPECT_EQ(captured([&] { result = create_directory_chain((locked + "/bob").c_str()); }),
            "-ERR Unable to create home directory '" + locked + "/bob', Permission denied\n");
  EXPECT_EQ(result, 0);
  EXPECT_NE(log_text().find("INFO Directory '" + locked + "/bob' exists"), std::string::npos);
  // A directory that exists but cannot be written to: the probe fails, the chain succeeds.
  EXPECT_EQ(probe_home_directory(locked.c_str()), 0);
  EXPECT_EQ(captured([&] { result = create_directory_chain(locked.c_str()); }), "");
  EXPECT_EQ(result, 1);
  chmod(locked.c_str(), 0755);
}

}  // namespace

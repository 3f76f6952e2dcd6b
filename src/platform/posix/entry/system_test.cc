#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/common/test_store.h"

namespace ostrel_posix {
namespace {

constexpr const WCHAR* kKeyPath = u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";

std::u16string this_host() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return wide(name);
}

TEST(System, SystemDirectoryIsAbsoluteAndSizedAsWindowsDoes) {
  const UINT needed = GetSystemDirectoryW(nullptr, 0);
  ASSERT_GT(needed, 1u);
  WCHAR small[1];
  EXPECT_EQ(GetSystemDirectoryW(small, 1), needed);
  WCHAR buffer[512];
  ASSERT_EQ(GetSystemDirectoryW(buffer, 512), needed - 1);
  EXPECT_EQ(buffer[0], u'/');
  EXPECT_EQ(buffer[needed - 1], 0);

  platform_inject_fault("GetSystemDirectoryW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(GetSystemDirectoryW(buffer, 512), 0u);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(System, ComputerNameFromTheRegistryIsTheHostName) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, kKeyPath, &key), 0);
  // Names compare case-insensitively.
  HKEY same = nullptr;
  EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE,
                          u"system\\currentcontrolset\\control\\"
                          u"computername\\COMPUTERNAME",
                          &same),
            0);
  EXPECT_EQ(same, key);

  const std::u16string host = this_host();
  const DWORD needed = static_cast<DWORD>((host.size() + 1) * sizeof(WCHAR));
  WCHAR value[256];
  DWORD type = 0;
  DWORD size = 512;
  ASSERT_EQ(RegQueryValueExW(key, u"ComputerName", nullptr, &type, reinterpret_cast<LPBYTE>(value),
                             &size),
            0);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, needed);
  EXPECT_EQ(std::u16string(value), host);  // terminated within the size given

  size = needed - 1;
  EXPECT_EQ(RegQueryValueExW(key, u"ComputerName", nullptr, nullptr,
                             reinterpret_cast<LPBYTE>(value), &size),
            static_cast<LONG>(ERROR_MORE_DATA));
  EXPECT_EQ(size, needed);

  struct Row {
    const char* label;
    LONG result;
    LONG expected;
  };
  DWORD reserved = 0;
  size = 512;
  const Row rows[] = {
      {"other value",
       RegQueryValueExW(key, u"Other", nullptr, nullptr, reinterpret_cast<LPBYTE>(value), &size),
       ERROR_FILE_NOT_FOUND},
      {"reserved given",
       RegQueryValueExW(key, u"ComputerName", &reserved, nullptr, reinterpret_cast<LPBYTE>(value),
                        &size),
       ERROR_INVALID_PARAMETER},
      {"data without size",
       RegQueryValueExW(key, u"ComputerName", nullptr, nullptr, reinterpret_cast<LPBYTE>(value),
                        nullptr),
       ERROR_INVALID_PARAMETER},
      {"value in other case",
       RegQueryValueExW(key, u"computerNAME", nullptr, nullptr, reinterpret_cast<LPBYTE>(value),
                        &size),
       0},
      {"value with a letter beyond ASCII",
       RegQueryValueExW(key, u"ComputerNam\u00e9", nullptr, nullptr,
                        reinterpret_cast<LPBYTE>(value), &size),
       ERROR_FILE_NOT_FOUND},
      {"value cut short",
       RegQueryValueExW(key, u"ComputerNam", nullptr, nullptr, reinterpret_cast<LPBYTE>(value),
                        &size),
       ERROR_FILE_NOT_FOUND},
      {"other key", RegCreateKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Other", &same),
       ERROR_ACCESS_DENIED},
      {"bad root", RegCreateKeyW(reinterpret_cast<HKEY>(value), kKeyPath, &same),
       ERROR_INVALID_HANDLE},
      {"close", RegCloseKey(key), 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(row.result, row.expected);
  }

  platform_inject_fault("RegCreateKeyW", ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, kKeyPath, &key), 5);
  EXPECT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, kKeyPath, &key), 0);
  platform_inject_fault("RegQueryValueExW", ERROR_FILE_NOT_FOUND);
  size = 512;
  EXPECT_EQ(RegQueryValueExW(key, u"ComputerName", nullptr, nullptr,
                             reinterpret_cast<LPBYTE>(value), &size),
            2);
}

class FilesTest : public StoreTest {};

// The home directory probe relies on these: errno kept, and an existing file never opened.
TEST_F(FilesTest, DirectoriesAndExclusiveFiles) {
  const std::string sub = dir_ + "/home";
  EXPECT_EQ(make_directory(sub.c_str()), 0);
  EXPECT_EQ(make_directory(sub.c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(make_directory((dir_ + "/missing/child").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);

  const std::string probe = sub + "/test.tmp";
  std::FILE* file = create_file_exclusive(probe.c_str());
  ASSERT_NE(file, nullptr);
  std::fputs("probe", file);
  std::fclose(file);
  EXPECT_EQ(create_file_exclusive(probe.c_str()), nullptr);
  EXPECT_EQ(errno, EEXIST);
  struct stat info {};
  ASSERT_EQ(stat(probe.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_size, 5);  // the refused second creation left the content alone
}

}  // namespace
}  // namespace ostrel_posix

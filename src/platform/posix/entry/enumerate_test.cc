#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/common/test_store.h"
#include "platform/posix/store/bulk.h"

namespace ostrel_posix {
namespace {

class EnumerateTest : public StoreTest {
 protected:
  // Seeds count accounts "User0000"... with alternating case, so that name order must come
  // from the folded key, and a comment on every third.
  void seed(int count) {
    std::vector<Record> records;
    for (int i = 0; i < count; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, i % 2 ? "uSER%04d" : "User%04d", i);
      Record r = record(name, nullptr);
      if (i % 3 == 0) r.has_comment = true, r.comment = u"third";
      records.push_back(r);
    }
    std::vector<USER_INFO_1> infos;
    for (Record& r : records) infos.push_back(*reinterpret_cast<USER_INFO_1*>(r.bytes()));
    ASSERT_EQ(bulk_add_accounts(infos.data(), infos.size()), 0u);
  }

  struct Page {
    DWORD status = 0, read = 0, total = 0;
    std::size_t bytes = 0;
    std::vector<std::string> names;
  };
  Page page(DWORD preferred, PDWORD resume, DWORD filter = 0) {
    Page p;
    LPBYTE buffer = nullptr;
    p.status = NetUserEnum(nullptr, 1, filter, &buffer, preferred, &p.read, &p.total, resume);
    const auto* info = reinterpret_cast<const USER_INFO_1*>(buffer);
    for (DWORD i = 0; i < p.read; ++i) {
      p.names.push_back(narrow(info[i].usri1_name));
      p.bytes += sizeof(USER_INFO_1);
      for (const WCHAR* text : {info[i].usri1_name, info[i].usri1_home_dir, info[i].usri1_comment,
                                info[i].usri1_script_path})
        if (text != nullptr) p.bytes += (std::u16string_view(text).size() + 1) * sizeof(WCHAR);
    }
    NetApiBufferFree(buffer);
    return p;
  }
};

std::string folded(const std::string& name) {
  std::string out = name;
  for (char& c : out) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return out;
}

TEST_F(EnumerateTest, PagesListEveryAccountOnceInNameOrder) {
  seed(3000);
  for (DWORD preferred : {600u, 0u, 100000u}) {
    SCOPED_TRACE(preferred);
    DWORD resume = 0;
    std::vector<std::string> listed;
    Page p;
    int pages = 0;
    do {
      p = page(preferred, &resume);
      ASSERT_TRUE(p.status == 0 || p.status == ERROR_MORE_DATA) << p.status;
      ASSERT_GE(p.read, 1u);
      EXPECT_EQ(p.total, 3000u);
      EXPECT_TRUE(p.bytes <= preferred || p.read == 1) << p.bytes;
      EXPECT_EQ(resume != 0, p.status == ERROR_MORE_DATA);
      listed.insert(listed.end(), p.names.begin(), p.names.end());
      ++pages;
    } while (p.status == ERROR_MORE_DATA);
    ASSERT_EQ(listed.size(), 3000u);
    for (std::size_t i = 1; i < listed.size(); ++i)
      ASSERT_LT(folded(listed[i - 1]), folded(listed[i])) << i;
    if (preferred == 0) {
      EXPECT_EQ(pages, 3000);
    }
  }
  const Page all = page(MAX_PREFERRED_LENGTH, nullptr);
  EXPECT_EQ(all.status, 0u);
  EXPECT_EQ(all.read, 3000u);
}

TEST_F(EnumerateTest, ChangesBetweenPagesNeitherSkipNorRepeat) {
  seed(1000);
  DWORD resume = 0;
  std::map<std::string, int> seen;
  std::set<std::string> deleted_ahead;
  Page p;
  int step = 0;
  do {
    p = page(3200, &resume);
    ASSERT_TRUE(p.status == 0 || p.status == ERROR_MORE_DATA);
    for (const std::string& name : p.names) ++seen[folded(name)];
    if (p.status == ERROR_MORE_DATA) {
      // Delete one account already listed and one ahead; add one ahead and one behind.
      const std::string& last = p.names.back();
      const int number = std::stoi(last.substr(4));
      ASSERT_EQ(NetUserDel(nullptr, wide(p.names.front()).c_str()), 0u);
      char ahead[16];
      std::snprintf(ahead, sizeof ahead, "user%04d", number + 2);
      if (NetUserDel(nullptr, wide(ahead).c_str()) == 0) deleted_ahead.insert(folded(ahead));
      char added[24];
      std::snprintf(added, sizeof added, "user%04d~%d", number, step);
      ASSERT_EQ(add(record(added, nullptr)), 0u);
      ASSERT_EQ(add(record("USER0000-" + std::to_string(step), nullptr)), 0u);
    }
    ++step;
  } while (p.status == ERROR_MORE_DATA);
  EXPECT_EQ(resume, 0u);
  for (const auto& [name, count] : seen) EXPECT_EQ(count, 1) << name;
  for (const std::string& name : deleted_ahead) EXPECT_EQ(seen.count(name), 0u) << name;
  for (int i = 0; i < 1000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "USER%04d", i);
    EXPECT_TRUE(seen.count(name) == 1 || deleted_ahead.count(name) == 1) << name;
  }
  // Accounts added ahead of the position were listed; those behind it were not.
  EXPECT_EQ(seen.count("USER0000-0"), 0u);
  int added_ahead = 0;
  for (const auto& entry : seen) added_ahead += entry.first.find('~') != std::string::npos;
  EXPECT_EQ(added_ahead, step - 1);
}

TEST_F(EnumerateTest, HandlesFiltersAndSmallStores) {
  Page empty = page(MAX_PREFERRED_LENGTH, nullptr);
  EXPECT_EQ(empty.status, 0u);
  EXPECT_EQ(empty.read, 0u);
  EXPECT_EQ(empty.total, 0u);

  seed(10);
  Record machine = record("host$", nullptr);
  machine.flags = UF_WORKSTATION_TRUST_ACCOUNT;
  ASSERT_EQ(add(machine), 0u);
  EXPECT_EQ(page(MAX_PREFERRED_LENGTH, nullptr, 0).read, 11u);
  EXPECT_EQ(page(MAX_PREFERRED_LENGTH, nullptr, FILTER_NORMAL_ACCOUNT).read, 10u);
  EXPECT_EQ(page(MAX_PREFERRED_LENGTH, nullptr, 5).status, ERROR_INVALID_PARAMETER);

  // Without a resume handle, each call gives the first page again.
  for (int i = 0; i < 2; ++i) {
    const Page first = page(200, nullptr);
    EXPECT_EQ(first.status, ERROR_MORE_DATA);
    ASSERT_FALSE(first.names.empty());
    EXPECT_EQ(first.names.front(), "host$");
  }
  DWORD unknown = 12345;
  EXPECT_EQ(page(200, &unknown).status, ERROR_INVALID_PARAMETER);
  platform_inject_fault("NetUserEnum", ERROR_ACCESS_DENIED);
  EXPECT_EQ(page(200, nullptr).status, ERROR_ACCESS_DENIED);
  LPBYTE buffer = nullptr;
  DWORD read = 0;
  EXPECT_EQ(NetUserEnum(nullptr, 1, 0, &buffer, 200, &read, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(NetUserEnum(nullptr, 2, 0, &buffer, 200, &read, &read, nullptr), ERROR_INVALID_LEVEL);
}

}  // namespace
}  // namespace ostrel_posix

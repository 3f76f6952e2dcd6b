// Account records handed to callers: gathered from store rows, then packed into one block
// (the records first, their texts after them) that NetApiBufferFree releases.
#pragma once

#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/common/names.h"

namespace ostrel_posix {

/// The texts of the records, each with its terminator, in one block that grows by doubling.
/// Growing does not clear the new room: every unit below size() has been written.
class TextPool {
 public:
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  const char16_t* data() const { return data_.get(); }
  /// Room for units more after the end, which stays where it is until set_end.
  char16_t* room(std::size_t units) {
    if (size_ + units > capacity_) reserve(std::max(size_ + units, 2 * capacity_));
    return data_.get() + size_;
  }
  /// Takes the pool's end to size units (at most the room given).
  void set_end(std::size_t size) { size_ = size; }
  void reserve(std::size_t units);
  void clear() { size_ = 0; }

 private:
  std::unique_ptr<char16_t[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

struct UserRecords {
  struct Entry {
    DWORD password_age, priv, flags;
    std::int64_t text[4];  // name, home_dir, comment, script_path: offsets in pool, -1 absent
  };
  std::vector<Entry> entries;
  TextPool pool;
  std::size_t bytes = 0;  // size of the packed block
};

/// The records of one call, gathered in blocks that the thread keeps for its next call, so
/// that a call allocates only the block it hands out. Blocks that grew past kKeptBytes are
/// given back when the call ends. A call made while another holds them gets fresh ones.
class CallRecords {
 public:
  CallRecords();
  ~CallRecords();
  CallRecords(const CallRecords&) = delete;
  CallRecords& operator=(const CallRecords&) = delete;
  UserRecords& operator*() { return *records_; }
  UserRecords* operator->() { return records_; }

  static constexpr std::size_t kKeptBytes = 64 * 1024;

 private:
  UserRecords* records_;
  UserRecords own_;
  bool kept_ = false;
};

/// Appends the account of a row whose columns first .. first + 6 are name, password_set,
/// priv, home_dir, comment, flags, script_path. False when the name is not UTF-8 (a store
/// that was changed behind our back); records is then unchanged. A field that is not UTF-8
/// is kept escaped (utf8_to_utf16_escaped): the account code cannot show it and says so.
bool add_user_row(sqlite3_stmt* stmt, int first, std::int64_t now, UserRecords& records);

/// Appends an account read from elsewhere than the store: its UTF-8 name and fields. False
/// when the name is not UTF-8; records is then unchanged. Fields as for add_user_row.
bool add_user_fields(std::string_view name, const UserFields& fields, DWORD password_age,
                     UserRecords& records);

/// Takes the last entry out again.
void drop_last_user(UserRecords& records);

/// The records as one block of USER_INFO_1 (password always null) and their texts; null
/// when there are none or no memory.
LPBYTE pack_user_records(const UserRecords& records);

}  // namespace ostrel_posix

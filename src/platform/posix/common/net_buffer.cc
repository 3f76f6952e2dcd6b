#include "platform/posix/common/net_buffer.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/posix/common/utf.h"

namespace ostrel_posix {
namespace {

// Appends a text to the pool. A name must be UTF-8; a field's bytes that are not stay
// escaped (utf8_to_utf16_escaped), so that the account is still read and only that field
// cannot be shown.
bool add_to_pool(std::string_view text, bool name, std::u16string& pool, std::int64_t& offset) {
  offset = static_cast<std::int64_t>(pool.size());
  if (name) {
    if (!utf8_to_utf16(text, pool)) return false;
  } else {
    utf8_to_utf16_escaped(text, pool);
  }
  pool.push_back(u'\0');
  return true;
}

bool add_text(sqlite3_stmt* stmt, int column, std::u16string& pool, std::int64_t& offset,
              bool name = false) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  if (text == nullptr) {
    // NULL is an absent text; a null pointer for anything else is a failure (no memory).
    offset = -1;
    return sqlite3_column_type(stmt, column) == SQLITE_NULL;
  }
  const int bytes = sqlite3_column_bytes(stmt, column);
  return add_to_pool(std::string_view(reinterpret_cast<const char*>(text), bytes), name, pool,
                     offset);
}

}  // namespace

bool add_user_row(sqlite3_stmt* stmt, int first, std::int64_t now, UserRecords& records) {
  const std::size_t pool_before = records.pool.size();
  UserRecords::Entry entry{};
  const std::int64_t set = sqlite3_column_int64(stmt, first + 1);
  const std::int64_t age = now > set ? now - set : 0;
  entry.password_age = age > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<DWORD>(age);
  entry.priv = static_cast<DWORD>(sqlite3_column_int64(stmt, first + 2));
  entry.flags = static_cast<DWORD>(sqlite3_column_int64(stmt, first + 5));
  if (!add_text(stmt, first, records.pool, entry.text[0], true) ||
      !add_text(stmt, first + 3, records.pool, entry.text[1]) ||
      !add_text(stmt, first + 4, records.pool, entry.text[2]) ||
      !add_text(stmt, first + 6, records.pool, entry.text[3])) {
    records.pool.resize(pool_before);
    return false;
  }
  records.entries.push_back(entry);
  records.bytes += sizeof(USER_INFO_1) + (records.pool.size() - pool_before) * sizeof(WCHAR);
  return true;
}

bool add_user_fields(std::string_view name, const UserFields& fields, DWORD password_age,
                     UserRecords& records) {
  const std::size_t pool_before = records.pool.size();
  UserRecords::Entry entry{};
  entry.password_age = password_age;
  entry.priv = fields.priv;
  entry.flags = fields.flags;
  auto text = [&records](bool present, std::string_view value, std::int64_t& offset) {
    offset = -1;
    return !present || add_to_pool(value, false, records.pool, offset);
  };
  if (!add_to_pool(name, true, records.pool, entry.text[0]) ||
      !text(fields.has_home_dir, fields.home_dir, entry.text[1]) ||
      !text(fields.has_comment, fields.comment, entry.text[2]) ||
      !text(fields.has_script_path, fields.script_path, entry.text[3])) {
    records.pool.resize(pool_before);
    return false;
  }
  records.entries.push_back(entry);
  records.bytes += sizeof(USER_INFO_1) + (records.pool.size() - pool_before) * sizeof(WCHAR);
  return true;
}

void drop_last_user(UserRecords& records) {
  if (records.entries.empty()) return;
  const UserRecords::Entry& last = records.entries.back();
  const std::size_t pool_before = static_cast<std::size_t>(last.text[0]);  // the name is first
  records.bytes -= sizeof(USER_INFO_1) + (records.pool.size() - pool_before) * sizeof(WCHAR);
  records.pool.resize(pool_before);
  records.entries.pop_back();
}

LPBYTE pack_user_records(const UserRecords& records) {
  if (records.entries.empty()) return nullptr;
  const std::size_t head = records.entries.size() * sizeof(USER_INFO_1);
  auto* block = static_cast<LPBYTE>(std::malloc(head + records.pool.size() * sizeof(WCHAR)));
  if (block == nullptr) return nullptr;
  auto* texts = reinterpret_cast<WCHAR*>(block + head);
  std::memcpy(texts, records.pool.data(), records.pool.size() * sizeof(WCHAR));
  auto at = [texts](std::int64_t offset) { return offset < 0 ? nullptr : texts + offset; };
  auto* info = reinterpret_cast<USER_INFO_1*>(block);
  for (const UserRecords::Entry& entry : records.entries) {
    info->usri1_name = at(entry.text[0]);
    info->usri1_password = nullptr;
    info->usri1_password_age = entry.password_age;
    info->usri1_priv = entry.priv;
    info->usri1_home_dir = at(entry.text[1]);
    info->usri1_comment = at(entry.text[2]);
    info->usri1_flags = entry.flags;
    info->usri1_script_path = at(entry.text[3]);
    ++info;
  }
  return block;
}

}  // namespace ostrel_posix

NET_API_STATUS NetApiBufferFree(LPVOID buffer) {
  std::free(buffer);
  return NERR_Success;
}

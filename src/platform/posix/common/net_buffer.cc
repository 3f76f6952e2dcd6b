#include "platform/posix/common/net_buffer.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/posix/common/utf.h"

namespace ostrel_posix {
namespace {

// A record's texts: name, home_dir, comment, script_path; absent ones are not present.
struct RecordTexts {
  std::string_view text[4];
  bool present[4] = {true, false, false, false};
};

// Appends entry with its texts, decoded straight into the pool, which grows once: a text
// never has more UTF-16 units than UTF-8 bytes. The name must be UTF-8; a field's bytes that
// are not stay escaped (utf8_to_utf16_escaped), so that the account is still read and only
// that field cannot be shown. False when the name is not UTF-8; records is then unchanged.
bool append_record(UserRecords::Entry entry, const RecordTexts& texts, UserRecords& records) {
  std::size_t room = 0;
  for (int i = 0; i < 4; ++i) room += texts.present[i] ? texts.text[i].size() + 1 : 0;
  TextPool& pool = records.pool;
  const std::size_t pool_before = pool.size();
  char16_t* const out = pool.room(room) - pool_before;  // the pool's first unit
  std::size_t at = pool_before;
  for (int i = 0; i < 4; ++i) {
    entry.text[i] = -1;
    if (!texts.present[i]) continue;
    entry.text[i] = static_cast<std::int64_t>(at);
    std::size_t written = 0;
    if (i == 0) {
      if (!utf8_to_utf16(texts.text[i], out + at, written)) return false;
    } else {
      utf8_to_utf16_escaped(texts.text[i], out + at, written);
    }
    at += written;
    out[at++] = u'\0';
  }
  pool.set_end(at);
  records.entries.push_back(entry);
  records.bytes += sizeof(USER_INFO_1) + (at - pool_before) * sizeof(WCHAR);
  return true;
}

// The bytes of a text column: false for NULL (an absent text), and also, with failed set,
// for a null pointer that is not NULL (no memory).
bool column_text(sqlite3_stmt* stmt, int column, std::string_view& text, bool& failed) {
  const unsigned char* bytes = sqlite3_column_text(stmt, column);
  if (bytes == nullptr) {
    failed = sqlite3_column_type(stmt, column) != SQLITE_NULL;
    return false;
  }
  text = std::string_view(reinterpret_cast<const char*>(bytes),
                          static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)));
  return true;
}

struct KeptRecords {
  UserRecords records;
  bool in_use = false;
};

thread_local KeptRecords kept_records;

}  // namespace

void TextPool::reserve(std::size_t units) {
  if (units <= capacity_) return;
  std::unique_ptr<char16_t[]> grown(new char16_t[units]);
  if (size_ > 0) std::memcpy(grown.get(), data_.get(), size_ * sizeof(char16_t));
  data_ = std::move(grown);
  capacity_ = units;
}

CallRecords::CallRecords() : records_(&own_) {
  if (kept_records.in_use) return;
  kept_records.in_use = true;
  kept_ = true;
  records_ = &kept_records.records;
}

CallRecords::~CallRecords() {
  if (!kept_) return;
  UserRecords& records = kept_records.records;
  if (records.entries.capacity() * sizeof(UserRecords::Entry) +
          records.pool.capacity() * sizeof(char16_t) >
      kKeptBytes) {
    records = UserRecords{};
  } else {
    records.entries.clear();
    records.pool.clear();
    records.bytes = 0;
  }
  kept_records.in_use = false;
}

bool add_user_row(sqlite3_stmt* stmt, int first, std::int64_t now, UserRecords& records) {
  UserRecords::Entry entry{};
  const std::int64_t set = sqlite3_column_int64(stmt, first + 1);
  const std::int64_t age = now > set ? now - set : 0;
  entry.password_age = age > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<DWORD>(age);
  entry.priv = static_cast<DWORD>(sqlite3_column_int64(stmt, first + 2));
  entry.flags = static_cast<DWORD>(sqlite3_column_int64(stmt, first + 5));
  const int columns[4] = {first, first + 3, first + 4, first + 6};
  RecordTexts texts;
  bool failed = false;
  for (int i = 0; i < 4; ++i) {
    texts.present[i] = column_text(stmt, columns[i], texts.text[i], failed);
    if (failed || !texts.present[0]) return false;
  }
  return append_record(entry, texts, records);
}

bool add_user_fields(std::string_view name, const UserFields& fields, DWORD password_age,
                     UserRecords& records) {
  UserRecords::Entry entry{};
  entry.password_age = password_age;
  entry.priv = fields.priv;
  entry.flags = fields.flags;
  RecordTexts texts;
  texts.text[0] = name;
  texts.text[1] = fields.home_dir;
  texts.present[1] = fields.has_home_dir;
  texts.text[2] = fields.comment;
  texts.present[2] = fields.has_comment;
  texts.text[3] = fields.script_path;
  texts.present[3] = fields.has_script_path;
  return append_record(entry, texts, records);
}

void drop_last_user(UserRecords& records) {
  if (records.entries.empty()) return;
  const UserRecords::Entry& last = records.entries.back();
  const std::size_t pool_before = static_cast<std::size_t>(last.text[0]);  // the name is first
  records.bytes -= sizeof(USER_INFO_1) + (records.pool.size() - pool_before) * sizeof(WCHAR);
  records.pool.set_end(pool_before);
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

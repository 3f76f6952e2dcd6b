// ostrel-import: writes accounts with the password hashes they hold on another system
// (a Dovecot passwd-file, a list of name:hash lines such as an SQL export or /etc/shadow)
// and the attributes of ostrel's own search output into the account store, without ever
// knowing a password; the first successful logon rewrites each hash as argon2id. With
// --remaining it counts the accounts that still hold a hash brought in, by method.
//
// Exit status: 0 when every line was taken, 2 when the import ran to its end but skipped
// some (each one is reported), 1 when it could not start or had to stop.
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "import_input.h"
#include "platform/platform.h"
#include "platform/posix/common/utf.h"
#include "platform/posix/store/bulk.h"

namespace {

constexpr const char* kUsage =
    "usage: ostrel-import <settings file> <file>...\n"
    "       ostrel-import --remaining <settings file>\n"
    "Writes the accounts of each file into the store the settings name (account_db), with\n"
    "their password hashes as they are: a Dovecot passwd-file, name:hash lines (an SQL\n"
    "export, /etc/shadow), or ostrel's search output for home, comment and script.\n"
    "--remaining counts the accounts that still hold a hash brought in, by method.\n";

// Accounts written per transaction: large enough that commits cost little, small enough
// that a million lines never sit in memory at once.
constexpr std::size_t kBatch = 50000;
constexpr DWORD kNewAccountFlags = UF_SCRIPT | UF_NORMAL_ACCOUNT | UF_DONT_EXPIRE_PASSWD;

struct Tally {
  std::size_t taken = 0;
  std::size_t skipped = 0;
  std::map<std::string, std::size_t> methods;
  std::map<std::string, std::size_t> reasons;
};

void skip(Tally* tally, const std::string& where, const std::string& name,
          const std::string& reason) {
  std::printf("skipped %s%s%s: %s\n", where.c_str(), name.empty() ? "" : " ", name.c_str(),
              reason.c_str());
  ++tally->skipped;
  ++tally->reasons[reason];
}

void print_summary(const Tally& tally) {
  std::string line =
      "imported " + std::to_string(tally.taken) + (tally.taken == 1 ? " account" : " accounts");
  const char* separator = ": ";
  for (const auto& [method, count] : tally.methods) {
    line += separator + method + " (" + std::to_string(count) + ")";
    separator = ", ";
  }
  line += "; " + std::to_string(tally.skipped) + " skipped";
  separator = ": ";
  for (const auto& [reason, count] : tally.reasons) {
    line += separator + reason + " (" + std::to_string(count) + ")";
    separator = ", ";
  }
  std::printf("%s\n", line.c_str());
}

std::string store_problem(DWORD rc) {
  switch (rc) {
    case ERROR_ACCESS_DENIED:
      return "no store file named";
    case ERROR_BAD_CONFIGURATION:
      return "refused: it or a file beside it could have been planted or changed by another "
             "user";
    case ERROR_OPEN_FAILED:
      return "cannot be opened";
    case ERROR_WRITE_PROTECT:
      return "on a read-only file system";
    case ERROR_IO_DEVICE:
      return "I/O error";
    case ERROR_FILE_INVALID:
      return "moved or removed meanwhile";
    case ERROR_BUSY:
      return "kept busy by another process";
    case ERROR_DISK_FULL:
      return "disk full";
    case ERROR_NOT_ENOUGH_MEMORY:
      return "out of memory";
    case ERROR_FILE_CORRUPT:
      return "not an account store, or damaged";
    default:
      return "store error";
  }
}

// The store the settings file names: account_db, else ostrel.db in the work path ("path").
// A keyword, one blank or tab, the value; the last line of a keyword counts.
bool store_from_settings(const std::string& file, std::string* db, std::string* error) {
  std::ifstream in(file);
  if (!in) {
    *error = file + ": cannot be read";
    return false;
  }
  std::string line, account_db, work_path;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    const std::size_t gap = line.find_first_of(" \t");
    if (gap == std::string::npos) continue;
    const std::string keyword = line.substr(0, gap), value = line.substr(gap + 1);
    if (keyword == "account_db") account_db = value;
    if (keyword == "path") work_path = value;
  }
  if (account_db.empty()) {
    *db = work_path.empty() ? "ostrel.db"
                            : work_path + (work_path.back() == '/' ? "" : "/") + "ostrel.db";
    return true;
  }
  if (account_db == "system" || account_db.starts_with("ldap") || account_db.starts_with("ad:")) {
    *error = "account_db names no account store (" + account_db +
             "): import into a store, then copy it into a directory with ostrel-migrate";
    return false;
  }
  *db = account_db;
  return true;
}

// An entry waiting for its batch, with where it came from for the report.
struct Pending {
  import::Entry entry;
  std::string where;
};

// Writes a batch in one transaction: false when the store failed (nothing of the batch
// was written then).
bool write_batch(std::vector<Pending>& batch, Tally* tally) {
  std::vector<std::u16string> texts;
  texts.reserve(batch.size() * 4);
  std::vector<USER_INFO_1> records;
  std::vector<const std::string*> hashes;
  std::vector<std::size_t> from;  // the batch entry of each record
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const import::Entry& e = batch[i].entry;
    const std::size_t first = texts.size();
    bool fits = true;
    for (const std::optional<std::string>* field :
         {static_cast<const std::optional<std::string>*>(nullptr), &e.home, &e.comment,
          &e.script}) {
      std::u16string wide;
      const std::string_view text = field == nullptr ? std::string_view(e.name)
                                    : *field         ? std::string_view(**field)
                                                     : std::string_view();
      fits = fits && ostrel_posix::utf8_to_utf16(text, wide);
      texts.push_back(std::move(wide));
    }
    if (!fits) {
      texts.resize(first);
      skip(tally, batch[i].where, e.name, "not UTF-8");
      continue;
    }
    USER_INFO_1 record{};
    record.usri1_priv = USER_PRIV_USER;
    record.usri1_flags = kNewAccountFlags | (e.disabled ? UF_ACCOUNTDISABLE : 0);
    records.push_back(record);
    hashes.push_back(e.hash ? &*e.hash : nullptr);
    from.push_back(i);
  }
  // The texts stay where they are from here on: point the records at them.
  for (std::size_t r = 0; r < records.size(); ++r) {
    const import::Entry& e = batch[from[r]].entry;
    const std::u16string* t = &texts[4 * r];
    records[r].usri1_name = const_cast<WCHAR*>(t[0].c_str());
    records[r].usri1_home_dir = e.home ? const_cast<WCHAR*>(t[1].c_str()) : nullptr;
    records[r].usri1_comment = e.comment ? const_cast<WCHAR*>(t[2].c_str()) : nullptr;
    records[r].usri1_script_path = e.script ? const_cast<WCHAR*>(t[3].c_str()) : nullptr;
  }
  std::vector<DWORD> results(records.size());
  const DWORD rc = ostrel_posix::bulk_import_accounts(records.data(), hashes.data(), records.size(),
                                                      results.data());
  if (rc != 0) {
    std::fprintf(stderr,
                 "ostrel-import: the store failed: %s (%lu); nothing of the last %zu "
                 "accounts was written\n",
                 store_problem(rc).c_str(), static_cast<unsigned long>(rc), records.size());
    return false;
  }
  for (std::size_t r = 0; r < records.size(); ++r) {
    const Pending& p = batch[from[r]];
    switch (results[r]) {
      case 0:
        ++tally->taken;
        ++tally->methods[p.entry.method != nullptr ? p.entry.method : "without a password"];
        break;
      case NERR_UserExists:
        skip(tally, p.where, p.entry.name,
             "the name is taken (in the store, or earlier in the input)");
        break;
      case ERROR_INVALID_PASSWORD:
        skip(tally, p.where, p.entry.name, "no hash the store verifies");
        break;
      default:
        skip(tally, p.where, p.entry.name, "a name or attribute the store refuses");
        break;
    }
  }
  batch.clear();
  return true;
}

int count_remaining() {
  std::map<std::string, std::size_t> pending;
  if (const DWORD rc = ostrel_posix::bulk_count_hash_methods(pending); rc != 0) {
    std::fprintf(stderr, "ostrel-import: the store failed: %s (%lu)\n", store_problem(rc).c_str(),
                 static_cast<unsigned long>(rc));
    return 1;
  }
  std::size_t total = 0;
  for (const auto& [method, count] : pending) {
    std::printf("%s %zu\n", method.c_str(), count);
    total += count;
  }
  std::printf("%zu %s a hash brought in or of older parameters\n", total,
              total == 1 ? "account holds" : "accounts hold");
  return 0;
}

// The first line of a file that is not blank or a comment.
std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line.front() != '#') return line;
  return {};
}

// Reads file line by line with reader (hash lines or search output), reports the lines it
// skips, and hands each line it takes to take; stops when take returns false.
template <typename Reader, typename Take>
bool read_entries(const std::string& file, Reader reader, Tally* tally, Take take) {
  std::ifstream in(file);
  std::string line, reason;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Pending p;
    p.where = file + ":" + std::to_string(number);
    const import::Line got = reader(line, &p.entry, &reason);
    if (got == import::Line::kSkipped) skip(tally, p.where, p.entry.name, reason);
    if (got == import::Line::kTaken && !take(std::move(p))) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const bool remaining = !args.empty() && args.front() == "--remaining";
  if (remaining) args.erase(args.begin());
  if (args.empty() || (remaining ? args.size() != 1 : args.size() < 2)) {
    std::fprintf(stderr, "%s", kUsage);
    return 1;
  }
  std::string db, error;
  if (!store_from_settings(args[0], &db, &error)) {
    std::fprintf(stderr, "ostrel-import: %s\n", error.c_str());
    return 1;
  }
  platform_set_account_db(db.c_str());
  if (remaining) return count_remaining();

  const std::vector<std::string> files(args.begin() + 1, args.end());
  for (const std::string& file : files) {
    if (!std::ifstream(file)) {
      std::fprintf(stderr, "ostrel-import: %s: cannot be read\n", file.c_str());
      return 1;
    }
  }
  Tally tally;
  // Attributes from search output first, so that a hash line finds its account's.
  std::map<std::string, Pending> attributes;
  std::vector<std::string> attribute_order;
  std::vector<std::string> hash_files;
  for (const std::string& file : files) {
    if (!import::looks_like_search_output(first_line(file))) {
      hash_files.push_back(file);
      continue;
    }
    read_entries(file, import::read_search_line, &tally, [&](Pending&& p) {
      const std::string name = p.entry.name, where = p.where;
      if (attributes.emplace(name, std::move(p)).second)
        attribute_order.push_back(name);
      else
        skip(&tally, where, name, "named twice in search output");
      return true;
    });
  }
  std::vector<Pending> batch;
  batch.reserve(kBatch);
  for (const std::string& file : hash_files) {
    const bool written = read_entries(file, import::read_hash_line, &tally, [&](Pending&& p) {
      if (const auto found = attributes.find(p.entry.name); found != attributes.end()) {
        const import::Entry& a = found->second.entry;
        if (a.home) p.entry.home = a.home;
        if (a.comment) p.entry.comment = a.comment;
        if (a.script) p.entry.script = a.script;
        attributes.erase(found);
      }
      batch.push_back(std::move(p));
      return batch.size() < kBatch || write_batch(batch, &tally);
    });
    if (!written) {
      print_summary(tally);
      return 1;
    }
  }
  // Accounts that only search output names come in without a password.
  for (const std::string& name : attribute_order) {
    const auto found = attributes.find(name);
    if (found == attributes.end()) continue;
    batch.push_back(std::move(found->second));
    if (batch.size() == kBatch && !write_batch(batch, &tally)) {
      print_summary(tally);
      return 1;
    }
  }
  if (!batch.empty() && !write_batch(batch, &tally)) {
    print_summary(tally);
    return 1;
  }
  print_summary(tally);
  return tally.skipped == 0 ? 0 : 2;
}

// ostrel-migrate: copies every account of an Ostrel account store into a directory, with
// its password hash, attributes and group memberships, and reports what it copied.
//
// Exit status: 0 when everything was copied, 2 when the copy ran to its end but skipped
// some accounts or memberships (each one is reported), 1 when it could not start or
// had to stop.
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "directory.h"
#include "options.h"
#include "store_reader.h"

namespace {

constexpr const char* kUsage =
    "usage: ostrel-migrate <store.db> <settings file>\n"
    "       ostrel-migrate <store.db> <uri> <base dn> <bind dn> <bind password file>\n"
    "Copies every account of the store (password hash, attributes, group memberships)\n"
    "into the directory. The settings file names the directory as ostrel reads it:\n"
    "account_db <uri>, ldap_base, ldap_bind_dn, ldap_bind_pw_file.\n";

// What the copy did, for the closing line.
struct Tally {
  int accounts = 0;
  int memberships = 0;
  int skipped = 0;
  std::map<std::string, int> reasons;
};

void skip(Tally* tally, const std::string& what, const std::string& reason) {
  std::printf("skipped %s: %s\n", what.c_str(), reason.c_str());
  ++tally->skipped;
  ++tally->reasons[reason];
}

std::string counted(int n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string account_reason(int rc) {
  if (rc == LDAP_ALREADY_EXISTS) return "already in the directory";
  return std::string(ldap_err2string(rc)) + " (" + std::to_string(rc) + ")";
}

// Results after which the connection cannot be trusted for the next write.
bool is_fatal(int rc) {
  return rc == LDAP_SERVER_DOWN || rc == LDAP_TIMEOUT || rc == LDAP_CONNECT_ERROR ||
         rc == LDAP_NO_MEMORY || rc == LDAP_LOCAL_ERROR || rc == LDAP_ENCODING_ERROR ||
         rc == LDAP_DECODING_ERROR;
}

void print_summary(const Tally& tally) {
  std::string line = "copied " + counted(tally.accounts, "account", "accounts") + ", " +
                     counted(tally.memberships, "membership", "memberships") + "; " +
                     std::to_string(tally.skipped) + " skipped";
  const char* separator = ": ";
  for (const auto& [reason, count] : tally.reasons) {
    line += separator + reason + " (" + std::to_string(count) + ")";
    separator = ", ";
  }
  std::printf("%s\n", line.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  migrate::Options options;
  std::string error;
  if (!migrate::parse_arguments(args, &options, &error)) {
    std::fprintf(stderr, "ostrel-migrate: %s\n%s", error.c_str(), kUsage);
    return 1;
  }
  migrate::StoreContent store;
  if (!migrate::read_store(options.store_path, &store, &error)) {
    std::fprintf(stderr, "ostrel-migrate: %s: %s\n", options.store_path.c_str(), error.c_str());
    return 1;
  }
  const migrate::Connection ld = migrate::connect_directory(options.target, &error);
  if (!ld) {
    std::fprintf(stderr, "ostrel-migrate: %s\n", error.c_str());
    return 1;
  }

  Tally tally;
  std::set<std::string> copied;
  for (const migrate::StoredAccount& account : store.accounts) {
    const std::string what = "account " + account.name;
    if (account.hash && migrate::directory_password(*account.hash).empty()) {
      skip(&tally, what, "password hash of an unknown kind");
      continue;
    }
    const int rc = migrate::add_account(ld.get(), options.target.base, account);
    if (rc == LDAP_SUCCESS) {
      ++tally.accounts;
      copied.insert(account.name);
      continue;
    }
    skip(&tally, what, account_reason(rc));
    if (is_fatal(rc)) {
      print_summary(tally);
      std::fprintf(stderr, "ostrel-migrate: stopped: the directory went away\n");
      return 1;
    }
  }
  for (const migrate::Membership& membership : store.memberships) {
    const std::string what = "membership of " + membership.account + " in " + membership.group;
    if (copied.count(membership.account) == 0) {
      skip(&tally, what, "its account was not copied");
      continue;
    }
    const int rc = migrate::add_membership(ld.get(), options.target.base, membership);
    if (rc == LDAP_SUCCESS || rc == LDAP_TYPE_OR_VALUE_EXISTS) {
      ++tally.memberships;
      continue;
    }
    skip(&tally, what, account_reason(rc));
    if (is_fatal(rc)) {
      print_summary(tally);
      std::fprintf(stderr, "ostrel-migrate: stopped: the directory went away\n");
      return 1;
    }
  }
  print_summary(tally);
  return tally.skipped == 0 ? 0 : 2;
}

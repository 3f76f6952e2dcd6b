// Account operations: host resolution and conversion errors, account attributes and
// home directories, and the set, check, lookup, del and search commands.
#pragma once

#include <memory>
#include <vector>

#include "platform/platform.h"
#include "text/text.h"

/// UTF-16 buffers are 512 units (1024 bytes); narrow buffers 512 bytes.
inline constexpr int kWideUnits = 512;

/// Releases a 512-unit UTF-16 buffer, wiping it first (it may have held a password).
struct WideDeleter {
  void operator()(WCHAR* p) const;
};
using WideBuffer = std::unique_ptr<WCHAR[], WideDeleter>;

/// Releases a record or buffer of the network management allocator.
struct NetApiDeleter {
  void operator()(void* p) const {
    if (p) NetApiBufferFree(p);
  }
};
using UserRecord = std::unique_ptr<USER_INFO_1, NetApiDeleter>;

/// The UTF-16 buffers that apply_account_attributes places into a record; they must
/// outlive the account call that takes the record.
using AttributeBuffers = std::vector<WideBuffer>;

// ---- Text conversion and host ----------------------------------------------------------

/// A new 512-unit buffer, all zeros; null when memory is short.
WideBuffer new_wide_buffer();

/// Converts ANSI text (with its terminator) into a new 512-unit buffer; null on failure
/// (the caller then calls report_conversion_error).
WideBuffer to_wide(const char* text);

/// Converts UTF-16 text into out (512 bytes); 0 on failure, else the bytes written.
int to_narrow(LPCWSTR wide, char* out);

/// The host whose accounts are meant, as UTF-16 with two leading backslashes, from the
/// "host" setting or the registry computer name; null when none is known.
WideBuffer resolve_host();

/// Writes the negative reply for a failed conversion, worded by GetLastError().
void report_conversion_error();

/// Writes the reply for a rejected parameter index 1 to 8 and returns 1; else 0.
int report_bad_parameter(DWORD parm_index);

// ---- Logon ---------------------------------------------------------------------------

enum class LogonOutcome { accepted, bad_password_text, no_host, refused };

/// Logs wide_user on to the configured host (resolve_host, into host) with the password,
/// through LogonUserW, from source: the client's address as the mail server gave it, or
/// null for none (the check command), which the lockout counts for the account as a whole.
/// The password text and its UTF-16 copy are wiped before this returns, on every path.
/// code gets LogonUserW's error when refused, GetLastError() when the password could not
/// be converted (report_conversion_error words it), else 0.
LogonOutcome log_on_with_password(LPCWSTR wide_user, char* password, WideBuffer& host, DWORD& code,
                                  const char* source = nullptr);

// ---- Attributes and home directories ---------------------------------------------------

/// Applies the home=, comment= and script= words after index last to the record (and
/// the default comment), then probes or creates the home directory. 1 on success, 0
/// when a negative reply has been written.
int apply_account_attributes(USER_INFO_1* record, char* const* words, int last,
                             AttributeBuffers& owned);

/// Writes home="..." comment="..." script="..." for the present fields of user's record, as
/// the replies of check, lookup and search carry them, into text (kMessageBuffer bytes);
/// false, text empty, when there are none to show or the record is null. A field whose
/// narrow form cannot be made, that holds a double quote or a control character (the
/// reply could not carry it unambiguously), or that would make the reply line longer than
/// 1023 characters, is left out with an ERROR log line naming user and the field: a value
/// is never cut.
bool format_account_attributes(const USER_INFO_1* record, const char* user, char* text);

/// The text after the first '=' of word, one enclosing quote removed at each end, in a
/// process-wide area; null for a null word.
const char* attribute_value(const char* word);

/// 1 the test file could be made in path, 0 it could not, -1 path not absolute (not probed).
int probe_home_directory(const char* path);

/// Creates the directories along an absolute path. 1 when the directory exists at the
/// end; 0 with a negative reply when it does not, or for a null path.
int create_directory_chain(const char* path);

/// The path with exactly one separator at its end, in a process-wide area.
const char* ensure_trailing_backslash(const char* path);

// ---- Commands --------------------------------------------------------------------------

int add_account(char* const* words, int index);
int update_account(char* const* words, int index);
int account_exists(const char* user, LPCWSTR wide_user);
int check_account(char* const* words, int index);
int lookup_account(char* const* words, int index);
int delete_account(char* const* words, int index);
int search_accounts(char* const* words, int index);

/// 1 when the account name matches the pattern ("*" alone matches everything).
int name_matches(const char* pattern, const char* name);

/// 1 whole text matches whole pattern, 0 it does not, -1 the text ran out first or no
/// position after a star let the rest match.
int wildcard_match(const char* text, const char* pattern);

// NetUserEnum: the checks every backend shares, then one page from the active backend.
#include "platform/platform.h"
#include "platform/posix/common/backend.h"
#include "platform/posix/common/faults.h"
#include "platform/posix/common/net_buffer.h"
#include "platform/posix/entry/host.h"

using namespace ostrel_posix;

NET_API_STATUS NetUserEnum(LPCWSTR server, DWORD level, DWORD filter, LPBYTE* buffer,
                           DWORD preferred_length, LPDWORD entries_read, LPDWORD total_entries,
                           PDWORD resume_handle) {
  if (buffer != nullptr) *buffer = nullptr;
  if (entries_read != nullptr) *entries_read = 0;
  if (total_entries != nullptr) *total_entries = 0;
  Fault fault;
  if (take_fault("NetUserEnum", fault)) return fault.code;
  if (!is_local_server(server)) return ERROR_BAD_NETPATH;
  if (level != 1) return ERROR_INVALID_LEVEL;
  if (filter != 0 && filter != FILTER_NORMAL_ACCOUNT) return ERROR_INVALID_PARAMETER;
  if (buffer == nullptr || entries_read == nullptr || total_entries == nullptr)
    return ERROR_INVALID_PARAMETER;

  CallRecords records;
  DWORD total = 0;
  const DWORD rc =
      active_backend().enumerate(filter, preferred_length, resume_handle, *records, total);
  if (rc != NERR_Success && rc != ERROR_MORE_DATA) return rc;
  if (!records->entries.empty()) {
    *buffer = pack_user_records(*records);
    if (*buffer == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  }
  *entries_read = static_cast<DWORD>(records->entries.size());
  *total_entries = total;
  return rc;
}

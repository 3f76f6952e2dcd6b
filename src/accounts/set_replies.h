// The reply tables of the set command: one negative line for each refusal of the add,
// the removal of a same-named account, the group join, and the update's read and write.
#pragma once

#include "platform/platform.h"

/// Answers a refused NetUserAdd (parm_index names the rejected field after code 87).
void reply_add_refused(NET_API_STATUS code, DWORD parm_index);

/// Answers a refused NetUserDel of the same-named account before an add.
void reply_removal_refused(NET_API_STATUS code);

/// Answers a refused NetLocalGroupAddMembers; group is the name from the settings.
void reply_group_refused(NET_API_STATUS code, const char* group);

/// Answers a refused NetUserGetInfo of the update.
void reply_read_refused(NET_API_STATUS code);

/// Answers a refused NetUserSetInfo (parm_index names the rejected field after code 87).
void reply_write_refused(NET_API_STATUS code, DWORD parm_index);

// Internal to the log folder.
#pragma once

/// Forgets the cached process id.
void reset_process_id_for_tests();

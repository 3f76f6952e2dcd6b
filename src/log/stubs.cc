// Temporary stand-ins until the diagnostic log lands.
#include "log/log.h"
int log_error(const char*, ...) { return 0; }
int log_info(const char*, ...) { return 0; }
int log_debug(const char*, ...) { return 0; }
int log_write(const char*, int) { return 0; }
int log_open(const char*, const char*) { return 1; }
int log_close() { return 1; }
void parse_log_level(const char*) {}
const char* level_name(int) { return "INFO"; }
const char* log_timestamp() { return ""; }
int process_id() { return 0; }
std::FILE* open_file(const char*, const char*) { return nullptr; }
int close_file(std::FILE*) { return 1; }
int get_log_level() { return 0; }
void set_log_level(int) {}
int get_echo_to_stdout() { return 0; }
void set_echo_to_stdout(int) {}
bool log_is_open() { return false; }
const char* log_path() { return ""; }
void reset_log_for_tests() {}

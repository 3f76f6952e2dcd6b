// Temporary stand-ins until the command service lands; removed function by function.
#include "service/service.h"
ArgVector tokenize_line(const char*, const char*) { return {}; }
int find_command_index(char* const*, int count) { return count; }
const char* scan_path_option(char* const*) { return nullptr; }
int apply_command_line_options(char* const*) { return 0; }
void dispatch_command(char* const*, int) {}
int show_help(char* const*, int) { return 1; }
int show_version(char* const*, int) { return 1; }
int quit_command(char* const*, int) { return 1; }
int keep_running() { return 0; }
void set_keep_running(int) {}
const char* program_name() { return ""; }
int run_program(int, char**) { return 0; }
void reset_service_for_tests() {}

// Process-wide state of the command service: the run flag and the program name.
#include <string>

#include "service/service.h"
#include "service/service_internal.h"

namespace {

int g_keep_running = 0;
std::string g_program_name;

}  // namespace

std::string program_name_of(const char* path) {
  const char* name = path ? base_name(path, 1) : nullptr;
  return name ? name : "";
}

int keep_running() {
  return g_keep_running;
}

void set_keep_running(int on) {
  g_keep_running = on ? 1 : 0;
}

const char* program_name() {
  return g_program_name.c_str();
}

void set_program_name(const char* name) {
  g_program_name = name ? name : "";
}

void reset_service_for_tests() {
  g_keep_running = 0;
  g_program_name.clear();
  clear_negative_sent();
}

#include "platform/platform.h"
#include "service/service.h"

int main(int argc, char** argv) {
  platform_start_single_threaded_program();
  return run_program(argc, argv);
}

#include "platform/posix/common/faults.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel_posix {
namespace {

struct Injected {
  std::string function_name;
  Fault fault;
};

std::mutex faults_mutex;
std::vector<Injected> faults;

}  // namespace

// Lets the calls skip the lock when nothing is injected, which is always so outside tests.
std::atomic<std::size_t> waiting_faults{0};

bool take_waiting_fault(const char* function_name, Fault& fault) {
  std::lock_guard<std::mutex> lock(faults_mutex);
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->function_name == function_name) {
      fault = it->fault;
      faults.erase(it);
      waiting_faults.store(faults.size(), std::memory_order_release);
      return true;
    }
  }
  return false;
}

}  // namespace ostrel_posix

void platform_inject_fault(const char* function_name, DWORD code, DWORD parm_index) {
  if (function_name == nullptr) return;
  std::lock_guard<std::mutex> lock(ostrel_posix::faults_mutex);
  ostrel_posix::faults.push_back({function_name, {code, parm_index}});
  ostrel_posix::waiting_faults.store(ostrel_posix::faults.size(), std::memory_order_release);
}

void platform_clear_faults() {
  std::lock_guard<std::mutex> lock(ostrel_posix::faults_mutex);
  ostrel_posix::faults.clear();
  ostrel_posix::waiting_faults.store(0, std::memory_order_release);
}

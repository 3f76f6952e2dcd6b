// pam_ostrel.so as PAM loads it: a small loader for the module's real code, which lives in
// pam_ostrel_core.so in <libdir>/ostrel. The core is opened with its own libraries searched
// first (RTLD_DEEPBIND), so that a host process exporting functions of the same names
// (sqlite3_*, ldap_*, crypto_*, crypt) never receives the module's calls: the module always
// runs on the libraries it was linked with.
#include <dlfcn.h>
#include <security/pam_ext.h>
#include <security/pam_modules.h>
#include <syslog.h>

#include <mutex>
#include <string>

#define OSTREL_PAM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using PamEntry = int (*)(pam_handle_t*, int, int, const char**);

struct Core {
  PamEntry authenticate = nullptr;
  PamEntry account = nullptr;
  std::string failure;
};

// The core beside the security directory this loader was loaded from.
std::string core_path() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&core_path), &info) == 0 || info.dli_fname == nullptr)
    return std::string();
  std::string path = info.dli_fname;
  const std::size_t slash = path.rfind('/');
  path.erase(slash == std::string::npos ? 0 : slash + 1);
  return path + "../ostrel/pam_ostrel_core.so";
}

const Core& core() {
  static Core loaded;
  static std::once_flag once;
  std::call_once(once, [] {
    const std::string path = core_path();
    // The sanitizers' runtime refuses deep binding; their builds bind as usual.
#ifdef OSTREL_NO_DEEPBIND
    constexpr int kBinding = 0;
#else
    constexpr int kBinding = RTLD_DEEPBIND;
#endif
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE | kBinding);
    if (handle == nullptr) {
      const char* error = dlerror();
      loaded.failure = error != nullptr ? error : path;
      return;
    }
    loaded.authenticate = reinterpret_cast<PamEntry>(dlsym(handle, "ostrel_pam_authenticate"));
    loaded.account = reinterpret_cast<PamEntry>(dlsym(handle, "ostrel_pam_acct_mgmt"));
    if (loaded.authenticate == nullptr || loaded.account == nullptr)
      loaded.failure = path + ": not the module's core";
  });
  return loaded;
}

int call(PamEntry Core::*entry, pam_handle_t* pamh, int flags, int argc, const char** argv) {
  const Core& loaded = core();
  if (!loaded.failure.empty()) {
    pam_syslog(pamh, LOG_ERR, "cannot load the module's core: %s", loaded.failure.c_str());
    return PAM_AUTHINFO_UNAVAIL;
  }
  return (loaded.*entry)(pamh, flags, argc, argv);
}

}  // namespace

OSTREL_PAM_EXPORT int pam_sm_authenticate(pam_handle_t* pamh, int flags, int argc,
                                          const char** argv) {
  return call(&Core::authenticate, pamh, flags, argc, argv);
}

OSTREL_PAM_EXPORT int pam_sm_setcred(pam_handle_t*, int, int, const char**) {
  return PAM_SUCCESS;
}

OSTREL_PAM_EXPORT int pam_sm_acct_mgmt(pam_handle_t* pamh, int flags, int argc, const char** argv) {
  return call(&Core::account, pamh, flags, argc, argv);
}

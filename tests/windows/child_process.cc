// Child processes for the replay program, through CreateProcessA.
#include "windows/child_process.h"

#include <windows.h>

#include "text_files.h"

namespace {

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  explicit Handle(HANDLE value) : h(value) {}
  ~Handle() {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool ok() const { return h != nullptr && h != INVALID_HANDLE_VALUE; }
};

// An inheritable handle on a file, for one of the child's standard streams.
HANDLE open_stream(const std::string& path, bool for_reading) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileA(path.c_str(), for_reading ? GENERIC_READ : GENERIC_WRITE, FILE_SHARE_READ,
                     &inherit, for_reading ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

}  // namespace

std::string quote_argument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  // Backslashes count only before a quote: doubled there, and before the closing quote.
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    out.push_back(c);
    backslashes = 0;
  }
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

ChildRun run_child(const std::string& program, const std::vector<std::string>& args,
                   const std::string& cwd, const std::string& input, const std::string& io_dir,
                   unsigned timeout_seconds) {
  ChildRun run;
  const std::string in_path = io_dir + "\\stdin";
  const std::string out_path = io_dir + "\\stdout";
  const std::string err_path = io_dir + "\\stderr";
  write_text(in_path, input);
  {
    const Handle in(open_stream(in_path, true));
    const Handle out(open_stream(out_path, false));
    const Handle err(open_stream(err_path, false));
    if (!in.ok() || !out.ok() || !err.ok()) {
      run.error = "cannot open the stream files in " + io_dir;
      return run;
    }
    std::string command = quote_argument(program);
    for (const std::string& arg : args) {
      command.push_back(' ');
      command += quote_argument(arg);
    }

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.h;
    startup.hStdOutput = out.h;
    startup.hStdError = err.h;
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        cwd.c_str(), &startup, &child)) {
      run.error = "CreateProcess failed with " + std::to_string(GetLastError());
      return run;
    }
    run.started = true;
    const Handle process(child.hProcess);
    const Handle thread(child.hThread);
    if (WaitForSingleObject(process.h, timeout_seconds * 1000) != WAIT_OBJECT_0) {
      run.timed_out = true;
      TerminateProcess(process.h, 1);
      WaitForSingleObject(process.h, INFINITE);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.h, &code);
    run.exit_code = code;
  }
  run.out = read_text(out_path);
  run.err = read_text(err_path);
  return run;
}

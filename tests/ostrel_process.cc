// Child process handling for the protocol tests.
#include "ostrel_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace fs = std::filesystem;

namespace {

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

int open_temp(const fs::path& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

}  // namespace

ScratchDir::ScratchDir() {
  std::string templ = "/tmp/ostrel-test-XXXXXX";
  if (::mkdtemp(templ.data())) path = templ;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!path.empty()) fs::remove_all(path, ignored);
}

ChildResult run_ostrel(const fs::path& cwd, const std::vector<std::string>& args,
                       const std::string& input, int timeout_seconds) {
  ChildResult result;
  // The streams live in a directory of their own, outside the child's directories.
  const ScratchDir io;
  Fd in(open_temp(io.path / "stdin", input));
  Fd out(open_temp(io.path / "stdout", ""));
  Fd err(open_temp(io.path / "stderr", ""));
  if (in.fd < 0 || out.fd < 0 || err.fd < 0) return result;

  std::vector<std::string> words{OSTREL_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) return result;
  if (pid == 0) {
    // Child: only async-signal-safe calls from here on.
    if (::dup2(in.fd, 0) < 0 || ::dup2(out.fd, 1) < 0 || ::dup2(err.fd, 2) < 0 ||
        ::chdir(cwd.c_str()) != 0) {
      ::_exit(127);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }

  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return result;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      result.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!result.timed_out && WIFEXITED(status)) {
    result.exited = true;
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  // The child shared the file offset of its standard input with this descriptor.
  result.input_read = static_cast<long>(::lseek(in.fd, 0, SEEK_CUR));
  result.out = read_text(io.path / "stdout");
  result.err = read_text(io.path / "stderr");
  return result;
}

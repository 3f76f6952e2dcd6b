// Interactive child processes for the crash and load tests.
#include "ostrel_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace fs = std::filesystem;

namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void reap(OstrelSession& session, bool wait) {
  if (session.pid <= 0 || session.reaped) return;
  for (;;) {
    const pid_t done = ::waitpid(session.pid, &session.status, wait ? 0 : WNOHANG);
    if (done == session.pid) {
      session.reaped = true;
      return;
    }
    if (done == 0 || errno != EINTR) return;
  }
}

}  // namespace

OstrelSession::~OstrelSession() {
  if (pid > 0 && !reaped) kill_session(*this);
  close_fd(to_child);
  close_fd(from_child);
}

bool start_session(OstrelSession& session, const fs::path& cwd,
                   const std::vector<std::string>& args, const fs::path& stderr_path) {
  // Every descriptor is close-on-exec, so that no other child keeps this one's pipes open.
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  const int err = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

  std::vector<std::string> words{OSTREL_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const std::string dir = cwd.string();

  const pid_t pid = err < 0 ? -1 : ::fork();
  if (pid == 0) {
    // Child: only async-signal-safe calls from here on.
    if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err, 2) < 0 ||
        ::chdir(dir.c_str()) != 0) {
      ::_exit(127);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  if (err >= 0) ::close(err);
  if (pid < 0) {
    ::close(in[1]);
    ::close(out[0]);
    return false;
  }
  session.pid = pid;
  session.to_child = in[1];
  session.from_child = out[0];
  return true;
}

bool send_text(OstrelSession& session, const std::string& bytes) {
  if (session.to_child < 0) return false;
  // A child that died makes the write fail with EPIPE; the signal that comes with it is
  // held back for this thread and taken away again, so that it never ends the test.
  sigset_t pipe_only, previous;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &previous);
  std::size_t done = 0;
  bool ok = true;
  while (done < bytes.size()) {
    const ssize_t n = ::write(session.to_child, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (!ok) {
    const timespec no_wait{0, 0};
    while (sigtimedwait(&pipe_only, nullptr, &no_wait) == SIGPIPE) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return ok;
}

LineResult read_line(OstrelSession& session, std::string& line, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const std::size_t end = session.pending.find('\n');
    if (end != std::string::npos) {
      line = session.pending.substr(0, end);
      session.pending.erase(0, end + 1);
      return LineResult::kLine;
    }
    if (session.from_child < 0) return LineResult::kClosed;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return LineResult::kTimeout;
    pollfd ready{session.from_child, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return polled == 0 ? LineResult::kTimeout : LineResult::kClosed;
    char buffer[4096];
    const ssize_t n = ::read(session.from_child, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close_fd(session.from_child);
      // A last piece without a newline is still handed out, once.
      if (session.pending.empty()) return LineResult::kClosed;
      line.swap(session.pending);
      session.pending.clear();
      return LineResult::kLine;
    }
    session.pending.append(buffer, static_cast<std::size_t>(n));
  }
}

void kill_session(OstrelSession& session) {
  if (session.pid <= 0 || session.reaped) return;
  ::kill(session.pid, SIGKILL);
  reap(session, true);
  close_fd(session.to_child);
}

int finish_session(OstrelSession& session, int timeout_seconds) {
  close_fd(session.to_child);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (!session.reaped && std::chrono::steady_clock::now() < deadline) {
    reap(session, false);
    if (!session.reaped) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!session.reaped) {
    kill_session(session);
    return -1;
  }
  return WIFEXITED(session.status) ? WEXITSTATUS(session.status) : -1;
}

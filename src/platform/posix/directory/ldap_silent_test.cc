// Servers that accept a connection and then say nothing, played by listeners on loopback:
// the directory and the domain backends answer an outage within the call's budget, try
// the next server of the list within it, and sleep while they wait instead of spinning
// (the TLS handshake spun when the library was left to bound it).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/common/test_store.h"
#include "platform/posix/directory/ldap_connect.h"

namespace ostrel_posix {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kStep{400};

// Accepts connections on a loopback address and never writes, except, when asked, a
// success to the first request of each connection (StartTLS), so that the client goes on
// to a handshake that gets no answer.
class SilentServer {
 public:
  SilentServer(const char* address, bool grant_start_tls) : grant_(grant_start_tls) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, address, &at.sin_addr);
    socklen_t size = sizeof at;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&at), size) != 0 || listen(fd_, 8) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&at), &size) != 0)
      return;
    port_ = ntohs(at.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~SilentServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int peer : peers_) close(peer);
    close(fd_);
  }
  int port() const { return port_; }
  int accepted() const { return accepted_; }

 private:
  void serve() {
    std::vector<std::string> received;
    while (!stop_) {
      std::vector<pollfd> waits{{fd_, POLLIN, 0}};
      for (int peer : peers_) waits.push_back({peer, POLLIN, 0});
      if (poll(waits.data(), waits.size(), 50) <= 0) continue;
      if (waits[0].revents & POLLIN) {
        const int peer = accept(fd_, nullptr, nullptr);
        if (peer >= 0) {
          peers_.push_back(peer);
          received.emplace_back();
          ++accepted_;
        }
      }
      for (std::size_t i = waits.size() - 1; i >= 1; --i) {
        if ((waits[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char buffer[4096];
        const ssize_t n = read(waits[i].fd, buffer, sizeof buffer);
        if (n <= 0) {  // the client gave up
          close(waits[i].fd);
          peers_.erase(peers_.begin() + static_cast<std::ptrdiff_t>(i - 1));
          received.erase(received.begin() + static_cast<std::ptrdiff_t>(i - 1));
          continue;
        }
        std::string& got = received[i - 1];
        const bool first = got.empty();
        got.append(buffer, static_cast<std::size_t>(n));
        if (grant_ && first && got.size() > 4) {
          // ExtendedResponse, success, to the request's message id.
          const unsigned char id = static_cast<unsigned char>(got[4]);
          const unsigned char reply[] = {0x30, 0x0c, 0x02, 0x01, id,   0x78, 0x07,
                                         0x0a, 0x01, 0x00, 0x04, 0x00, 0x04, 0x00};
          EXPECT_EQ(write(waits[i].fd, reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
        }
      }
    }
  }

  int fd_ = -1;
  int port_ = 0;
  bool grant_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::vector<int> peers_;
  std::thread thread_;
};

double thread_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class SilentServerTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    set_step_limit_for_tests(kStep);
    const std::string pw = dir_ + "/svc.pw";
    std::ofstream(pw) << "s3cret\n";
    chmod(pw.c_str(), 0600);
    platform_set_directory_options("dc=example,dc=test", "cn=svc,dc=example,dc=test", pw.c_str());
  }
  void TearDown() override {
    platform_set_account_db(nullptr);
    platform_set_directory_options(nullptr, nullptr, nullptr);
    set_step_limit_for_tests(milliseconds(0));
    StoreTest::TearDown();
  }
};

TEST_F(SilentServerTest, EveryCallAnswersAnOutageInTimeWithoutSpinning) {
  const struct {
    const char* scheme;  // account_db before host:port
    const char* address;
    bool grant_start_tls;
  } cases[] = {
      {"ldap://", "127.0.0.1", false},   // the bind gets no answer
      {"ldaps://", "127.0.0.1", false},  // the handshake gets no answer
      {"ldap://", "127.0.0.2", false},   // StartTLS gets no answer
      {"ldap://", "127.0.0.2", true},    // StartTLS granted, the handshake gets no answer
      {"ad:ldaps://", "127.0.0.1", false},
      {"ad:ldap://", "127.0.0.1", false},  // the domain asks StartTLS on loopback too
      {"ad:ldap://", "127.0.0.2", true},
  };
  for (const auto& c : cases) {
    SilentServer silent(c.address, c.grant_start_tls);
    ASSERT_NE(silent.port(), 0);
    const std::string uri = std::string(c.scheme) + c.address + ":" + std::to_string(silent.port());
    platform_set_account_db(uri.c_str());
    for (const bool logon : {false, true}) {
      const auto start = std::chrono::steady_clock::now();
      const double cpu = thread_cpu_seconds();
      DWORD code = 0;
      if (logon) {
        HANDLE token = nullptr;
        EXPECT_FALSE(LogonUserW(u"alice", nullptr, u"Secret-1", LOGON32_LOGON_INTERACTIVE,
                                LOGON32_PROVIDER_DEFAULT, &token));
        code = GetLastError();
      } else {
        LPBYTE buffer = nullptr;
        code = NetUserGetInfo(nullptr, u"alice", 1, &buffer);
        NetApiBufferFree(buffer);
      }
      const auto waited = std::chrono::steady_clock::now() - start;
      const double spent = thread_cpu_seconds() - cpu;
      const std::string what = uri + (logon ? " logon" : " read");
      EXPECT_EQ(code, ERROR_BAD_NETPATH) << what;
      EXPECT_GE(silent.accepted(), 1) << what;
      // Loose bounds: within the call's budget of two steps (and some), and asleep.
      EXPECT_LT(waited, 3 * kStep) << what;
      EXPECT_LT(spent, 0.5 * kStep.count() / 1000.0) << what;
    }
  }
}

TEST_F(SilentServerTest, NextServerIsTriedWithinTheBudget) {
  for (const char* scheme : {"ldaps://", "ad:ldaps://"}) {
    SilentServer first("127.0.0.1", false), second("127.0.0.1", false);
    const std::string uri = std::string(scheme) + "127.0.0.1:" + std::to_string(first.port()) +
                            " ldaps://127.0.0.1:" + std::to_string(second.port());
    platform_set_account_db(uri.c_str());
    const auto start = std::chrono::steady_clock::now();
    LPBYTE buffer = nullptr;
    EXPECT_EQ(NetUserGetInfo(nullptr, u"alice", 1, &buffer), ERROR_BAD_NETPATH) << uri;
    NetApiBufferFree(buffer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3 * kStep) << uri;
    EXPECT_EQ(first.accepted(), 1) << uri;
    EXPECT_EQ(second.accepted(), 1) << uri;
  }
}

}  // namespace
}  // namespace ostrel_posix

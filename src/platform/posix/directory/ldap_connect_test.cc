// Directory connections that need no directory server: the transport rule, the password
// file, and directories that are down, silent or refuse StartTLS (played by small fake
// servers on loopback addresses).
#include "platform/posix/directory/ldap_connect.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/common/backend.h"
#include "platform/posix/common/test_store.h"

namespace ostrel_posix {
namespace {

TEST(DirectoryConnectTest, TransportOfEachUri) {
  const struct {
    const char* uri;
    Transport transport;
  } cases[] = {
      {"ldapi://%2Frun%2Fslapd%2Fldapi", Transport::kLocal},
      {"ldap://127.0.0.1:389", Transport::kLocal},
      {"ldap://[::1]:389", Transport::kLocal},
      {"LDAP://LocalHost", Transport::kLocal},
      {"ldaps://dir.example.test", Transport::kTls},
      {"ldap://dir.example.test", Transport::kStartTls},
      {"ldap://127.0.0.2", Transport::kStartTls},
      {"ldap:///", Transport::kStartTls},  // the library's default host, wherever that is
      {"ldap://127.0.0.1 ldap://dir.example.test", Transport::kInvalid},
      {"ldap://127.0.0.1,ldap://dir.example.test", Transport::kInvalid},
      {"http://dir.example.test", Transport::kInvalid},
      {"/var/lib/ostrel.db", Transport::kInvalid},
      {"", Transport::kInvalid},
  };
  for (const auto& c : cases) EXPECT_EQ(transport_for(c.uri), c.transport) << c.uri;
}

TEST(DirectoryConnectTest, DirectoryUrisChooseTheDirectory) {
  for (const char* uri : {"ldap://h", "LDAPS://h", "ldapi://%2Ftmp%2Fs"})
    EXPECT_TRUE(is_directory_uri(uri)) << uri;
  for (const char* path : {"ldap.db", "ldap:/x", "./ldap://x", "file:ldap.db", ""})
    EXPECT_FALSE(is_directory_uri(path)) << path;
}

class DirectoryFilesTest : public StoreTest {
 protected:
  void TearDown() override {
    platform_set_directory_options(nullptr, nullptr, nullptr);
    platform_set_account_db(nullptr);
    StoreTest::TearDown();
  }

  std::string write_file(const std::string& name, const std::string& text, mode_t mode) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
    return path;
  }

  // The result of reading an account from the directory at uri.
  DWORD get_info(const std::string& uri) {
    platform_set_account_db(uri.c_str());
    LPBYTE buffer = nullptr;
    const DWORD rc = NetUserGetInfo(nullptr, u"alice", 1, &buffer);
    NetApiBufferFree(buffer);
    return rc;
  }
};

TEST_F(DirectoryFilesTest, PasswordFileOnlyItsOwnerCanRead) {
  const struct {
    const char* text;
    mode_t mode;
    DWORD code;
    const char* password;
  } cases[] = {
      {"s3cret\n", 0600, 0, "s3cret"},
      {"s3cret\r\n", 0400, 0, "s3cret"},
      {"s3cret", 0600, 0, "s3cret"},
      {"two\nlines\n", 0600, 0, "two\nlines"},
      {"s3cret\n", 0640, ERROR_BAD_CONFIGURATION, ""},
      {"s3cret\n", 0604, ERROR_BAD_CONFIGURATION, ""},
      {"s3cret\n", 0620, ERROR_BAD_CONFIGURATION, ""},
      {"\n", 0600, ERROR_BAD_CONFIGURATION, ""},  // an empty password would bind anonymously
      {"", 0600, ERROR_BAD_CONFIGURATION, ""},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string path = write_file("pw" + std::to_string(n++), c.text, c.mode);
    SecretText password;
    EXPECT_EQ(read_bind_password(path, password), c.code) << path;
    EXPECT_EQ(password.text, c.password) << path;
  }
  // Not a regular file, missing, too long, behind a link: a misconfiguration, not a refusal
  // of the service account.
  SecretText password;
  const std::string good = write_file("good", "s3cret\n", 0600);
  ASSERT_EQ(symlink(good.c_str(), (dir_ + "/link").c_str()), 0);
  for (const std::string& path :
       {dir_, dir_ + "/missing", write_file("big", std::string(5000, 'x'), 0600), dir_ + "/link"})
    EXPECT_EQ(read_bind_password(path, password), ERROR_BAD_CONFIGURATION) << path;
}

// A listening socket on a loopback address; port 0 picks a free one.
struct Listener {
  int fd = -1;
  int port = 0;
  explicit Listener(const char* address) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, address, &at.sin_addr);
    socklen_t size = sizeof at;
    if (bind(fd, reinterpret_cast<sockaddr*>(&at), size) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size) != 0)
      return;
    port = ntohs(at.sin_port);
  }
  ~Listener() {
    if (fd >= 0) close(fd);
  }
};

// The protocol operation tags of the LDAP messages in bytes (short message ids only).
std::vector<unsigned char> operations(const std::string& bytes) {
  std::vector<unsigned char> tags;
  std::size_t at = 0;
  while (at + 2 < bytes.size() && static_cast<unsigned char>(bytes[at]) == 0x30) {
    std::size_t length = static_cast<unsigned char>(bytes[at + 1]);
    std::size_t head = 2;
    if (length & 0x80) {
      const std::size_t count = length & 0x7F;
      length = 0;
      for (std::size_t i = 0; i < count && at + 2 + i < bytes.size(); ++i)
        length = length << 8 | static_cast<unsigned char>(bytes[at + 2 + i]);
      head += count;
    }
    const std::size_t id_at = at + head;
    if (id_at + 2 >= bytes.size()) break;
    const std::size_t op_at = id_at + 2 + static_cast<unsigned char>(bytes[id_at + 1]);
    if (op_at < bytes.size()) tags.push_back(static_cast<unsigned char>(bytes[op_at]));
    at += head + length;
  }
  return tags;
}

TEST_F(DirectoryFilesTest, DownSilentOrRefusingDirectoriesAnswerInTime) {
  const std::string pw = write_file("pw", "s3cret\n", 0600);
  platform_set_directory_options("dc=example,dc=test", "cn=svc,dc=example,dc=test", pw.c_str());

  // Nothing listens: refused at once.
  int closed_port;
  {
    Listener gone("127.0.0.1");
    closed_port = gone.port;
  }
  EXPECT_EQ(get_info("ldap://127.0.0.1:" + std::to_string(closed_port)), ERROR_BAD_NETPATH);
  EXPECT_EQ(get_info("ldap://127.0.0.1:bad"), NERR_InvalidComputer);

  // A password file others can read is a misconfiguration, refused before anything is sent.
  platform_set_directory_options("dc=example,dc=test", "cn=svc,dc=example,dc=test",
                                 write_file("open", "s3cret\n", 0644).c_str());
  EXPECT_EQ(get_info("ldap://127.0.0.1:" + std::to_string(closed_port)), ERROR_BAD_CONFIGURATION);
  platform_set_directory_options("dc=example,dc=test", "cn=svc,dc=example,dc=test", pw.c_str());

  // Connects, then never answers: the timeout ends the call.
  {
    Listener silent("127.0.0.1");
    ASSERT_NE(silent.port, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get_info("ldap://127.0.0.1:" + std::to_string(silent.port)), ERROR_BAD_NETPATH);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(2 * kDirectoryTimeoutSeconds + 1));
  }

  // Not loopback, and StartTLS is refused: an error, and no bind follows in clear text.
  Listener plain("127.0.0.2");
  ASSERT_NE(plain.port, 0);
  std::string received;
  std::thread server([&] {
    const int peer = accept(plain.fd, nullptr, nullptr);
    if (peer < 0) return;
    char buffer[4096];
    bool answered = false;
    for (;;) {
      pollfd wait{peer, POLLIN, 0};
      if (poll(&wait, 1, 2000) <= 0) break;
      const ssize_t n = read(peer, buffer, sizeof buffer);
      if (n <= 0) break;
      received.append(buffer, static_cast<std::size_t>(n));
      if (!answered && received.size() > 4) {
        // ExtendedResponse, protocolError, to the request's message id.
        const unsigned char id = static_cast<unsigned char>(received[4]);
        const unsigned char reply[] = {0x30, 0x0c, 0x02, 0x01, id,   0x78, 0x07,
                                       0x0a, 0x01, 0x02, 0x04, 0x00, 0x04, 0x00};
        answered = write(peer, reply, sizeof reply) == static_cast<ssize_t>(sizeof reply);
      }
    }
    close(peer);
  });
  EXPECT_EQ(get_info("ldap://127.0.0.2:" + std::to_string(plain.port)), ERROR_ACCESS_DENIED);
  platform_set_account_db(nullptr);  // closes the connection: the server sees the end
  server.join();
  const std::vector<unsigned char> ops = operations(received);
  ASSERT_FALSE(ops.empty());
  EXPECT_EQ(ops[0], 0x77);  // ExtendedRequest (StartTLS)
  for (unsigned char op : ops) EXPECT_NE(op, 0x60) << "a bind was sent";
}

}  // namespace
}  // namespace ostrel_posix

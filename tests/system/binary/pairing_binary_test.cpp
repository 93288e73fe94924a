#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "host/address.h"
#include "server/responses.h"
#include "support/host_binary.h"
#include "support/http_requests.h"
#include "support/process.h"
#include "support/stream_reading.h"
#include "support/terminal_qr_reader.h"
#include "support/test_client.h"
#include "support/websocket_upgrade.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;

// The real program with pairing on, on the virtual desktop, keeping its secret in a folder of the
// test's own.
class PairingBinary : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/tovel-pairing-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    config_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(config_); }

  std::vector<std::string> environment() const {
    return {"DISPLAY=", "XDG_CONFIG_HOME=" + config_.string()};
  }
  std::filesystem::path secretFile() const { return config_ / "tovel-host" / "secret"; }
  std::string storedKey() const {
    std::string key;
    std::getline(std::ifstream(secretFile()), key);
    return key;
  }
  // Runs the program to its end (the console's input is empty) and returns what it printed.
  std::string run(const std::vector<std::string>& arguments) {
    ChildProcess host(TOVEL_HOST_BINARY, arguments, ChildProcess::Input::emptyFile, environment());
    EXPECT_EQ(host.waitForExit(20s), 0) << host.output();
    return host.output();
  }

  std::filesystem::path config_;
};

TEST_F(PairingBinary, OnlyRequestsWithTheKeyDriveOrWatchTheDesktop) {
  auto host = startHostBinary(TOVEL_HOST_BINARY, environment(), {"--pair"});
  ASSERT_TRUE(host);
  const std::string key = storedKey();
  ASSERT_EQ(key.size(), 32u);
  struct stat status {};
  ASSERT_EQ(::stat(secretFile().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_TRUE(host->waitForOutput("?url=/#key=" + key + "\n", 10s)) << host->output();

  const struct {
    std::string name;
    std::string headers;
    bool served;
  } credentials[] = {
      {"none", "", false},
      {"wrong", "Cookie: tovel_key=" + std::string(32, 'A') + "\r\n", false},
      {"cookie", "Cookie: theme=dark; tovel_key=" + key + "\r\n", true},
      {"header", "Authorization: Bearer " + key + "\r\n", true},
  };
  for (const auto& c : credentials) {
    SCOPED_TRACE(c.name);
    std::string upgrade(kWebSocketUpgrade);
    upgrade.insert(upgrade.size() - 2, c.headers);
    // A command and a WebSocket, done, and the two streams, shown; or each refused at once.
    for (const std::string& request :
         {postRequest("/log", R"({"text":")" + c.name + " command\"}", c.headers), upgrade,
          "GET /screen.mjpg HTTP/1.1\r\n" + c.headers + "\r\n",
          "GET /screen.mp4 HTTP/1.1\r\n" + c.headers + "\r\n"}) {
      TestClient client(kHostPort);
      client.send(request);
      if (!c.served) {
        EXPECT_EQ(client.readUntilClosed(20s), kUnpairedResponse) << request;
      } else if (request.starts_with("POST")) {
        EXPECT_EQ(client.read(kControlAcknowledgement.size(), 20s), kControlAcknowledgement);
        EXPECT_TRUE(host->waitForOutput(c.name + " command\n", 20s));
      } else if (request == upgrade) {
        EXPECT_EQ(client.read(kWebSocketAccepted.size(), 20s), kWebSocketAccepted);
        client.send(logFrame(c.name + " message"));
        EXPECT_TRUE(host->waitForOutput(c.name + " message\n", 20s));
      } else {
        EXPECT_TRUE(readHead(client, 20s).starts_with("HTTP/1.1 200 OK\r\n")) << request;
        EXPECT_TRUE(readChunk(client, 20s)) << request;
      }
    }
  }
  // The app's own files are for everyone: without them it could not say what is missing.
  for (const char* request :
       {"GET / HTTP/1.1\r\n\r\n", "GET /?url=/ HTTP/1.1\r\n\r\n",
        "GET /manifest.json HTTP/1.1\r\n\r\n", "GET /service-worker.js HTTP/1.1\r\n\r\n",
        "GET /icon-192.png HTTP/1.1\r\n\r\n", "OPTIONS /move HTTP/1.1\r\n\r\n"}) {
    TestClient client(kHostPort);
    client.send(request);
    std::string answer = client.read(12, 20s);
    EXPECT_TRUE(answer == "HTTP/1.1 200" || answer == "HTTP/1.1 204") << request << answer;
  }
  // Eight refusals from one address, one line.
  std::string output = host->output();
  EXPECT_EQ(occurrences(output, "Refused "), 1u) << output;
  EXPECT_NE(output.find("Refused POST /log from 127.0.0.1: no pairing key\n"), std::string::npos)
      << output;
}

TEST_F(PairingBinary, TheSecretLastsAcrossStartsUntilANewOneIsAsked) {
  // Not paired yet: the link has no key.
  std::string unpaired = run({"--print-link"});
  EXPECT_EQ(unpaired.find("#key="), std::string::npos) << unpaired;
  EXPECT_FALSE(std::filesystem::exists(secretFile()));

  std::string first = run({"--pair"});
  const std::string key = storedKey();
  EXPECT_NE(first.find("A pairing secret is kept in " + secretFile().string() + ".\n"),
            std::string::npos)
      << first;
  EXPECT_NE(first.find("#key=" + key), std::string::npos);
  // A second start keeps it, and says nothing about it.
  std::string second = run({"--pair"});
  EXPECT_EQ(storedKey(), key);
  EXPECT_EQ(second.find("pairing secret"), std::string::npos) << second;

  // The link to pair a phone with the running service: printed with its code, nothing started.
  std::string link = run({"--print-link"});
  EXPECT_EQ(link.find("Tovel Host started."), std::string::npos) << link;
  EXPECT_NE(link.find("#key=" + key + "\n"), std::string::npos) << link;
  if (auto address = getIPAddress()) {
    auto modules = readHalfBlocks(halfBlockLines(link));
    ASSERT_TRUE(modules) << link;
    EXPECT_EQ(decodeWithZbar(*modules), "http://" + *address + ":8096?url=/#key=" + key);
  }
  EXPECT_EQ(storedKey(), key);

  std::string renewed = run({"--new-secret", "--print-link"});
  EXPECT_NE(storedKey(), key);
  EXPECT_NE(renewed.find("phones paired before must open the new link or scan its code"),
            std::string::npos)
      << renewed;
  EXPECT_NE(renewed.find("#key=" + storedKey() + "\n"), std::string::npos) << renewed;
}

} // namespace
} // namespace tovel::test

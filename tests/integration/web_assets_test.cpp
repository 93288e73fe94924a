#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <vector>

#include <asio/ip/tcp.hpp>

#include "server/curl_page_fetcher.h"
#include "server/embedded_assets.h"
#include "server/web_assets.h"
#include "support/host_fixture.h"
#include "support/mjpeg_reader.h"
#include "support/threads.h"

namespace tovel::test {
namespace {

namespace fs = std::filesystem;

std::string textHead(const std::string& type, std::size_t length, bool noCache = false) {
  return "HTTP/1.1 200 OK\nContent-Type: " + type + "\n" +
         (noCache ? "Cache-Control: no-cache\n" : "") +
         "Content-Length: " + std::to_string(length) + "\n\n";
}
std::string htmlPage(const std::string& body) {
  return textHead("text/html", body.size(), true) + body;
}
const std::string kGuide(embeddedGuidePage());
const std::string kGuidePage = textHead("text/html", 3380, true) + kGuide;

bool readable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, int(timeout.count())) == 1;
}

// The app site on loopback, served by the test itself one connection at a time.
class LocalSite {
public:
  ~LocalSite() { hangUp(); }
  std::string address() const {
    return "http://127.0.0.1:" + std::to_string(listener_.local_endpoint().port());
  }
  // The next connection, once its request has come, and the path it asks for; -1 when none comes
  // in time. It stays open until hangUp().
  int accept(std::string* path = nullptr, std::chrono::milliseconds timeout = 20s) {
    if (!readable(listener_.native_handle(), timeout))
      return -1;
    int fd = connections.emplace_back(::accept(listener_.native_handle(), nullptr, nullptr));
    std::string request; // "GET /path HTTP/1.1..."
    char buffer[4096];
    for (ssize_t n; request.find("\r\n\r\n") == std::string::npos; request.append(buffer, n))
      if (!readable(fd, 20s) || (n = ::recv(fd, buffer, sizeof buffer, 0)) <= 0)
        return -1;
    std::size_t start = request.find(' ') + 1;
    if (path)
      *path = request.substr(start, request.find(' ', start) - start);
    return fd;
  }
  // Answers the next request, which must be for `path`, and closes the connection.
  void answer(const std::string& response, const std::string& path = "/") {
    std::string asked;
    int fd = accept(&asked);
    ASSERT_EQ(asked, path);
    ::send(fd, response.data(), response.size(), MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_RDWR);
  }
  void hangUp() {
    for (int fd : connections)
      ::close(fd);
    connections.clear();
  }
  std::vector<int> connections;

private:
  asio::io_context io_;
  asio::ip::tcp::acceptor listener_{io_, {asio::ip::address_v4::loopback(), 0}};
};

class WebAssetRoutes : public HostFixture {
protected:
  std::string get(const std::string& target, std::chrono::milliseconds timeout = 10s) {
    TestClient client(port());
    client.send(getRequest(target));
    return client.readUntilClosed(timeout);
  }
};

TEST_F(WebAssetRoutes, ManifestServiceWorkerAndIconsWithExactHeadsInPlainAscii) {
  AssetTexts texts = makeAssetTexts();
  EXPECT_EQ(get("/manifest.json"), textHead("application/json", 273) + texts.manifestContent);
  EXPECT_EQ(get("/service-worker.js"),
            textHead("application/javascript", 1140) + texts.serviceWorkerContent);
  std::string icon = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 3501\r\n\r\n" +
                     std::string(embeddedIconPng());
  EXPECT_EQ(get("/icon-192.png"), icon);
  EXPECT_EQ(get("/icon-512.png"), icon);
  for (const std::string& text :
       {texts.manifestContent, texts.serviceWorkerContent, texts.htmlContent})
    EXPECT_TRUE(std::ranges::all_of(text, [](char c) { return std::uint8_t(c) < 0x80; }));
}

// The app site on loopback; the fetches wait for it however slow the run.
class LocalAppSite : public WebAssetRoutes {
protected:
  LocalAppSite() {
    appSite = site.address();
    appSiteTimeOuts = {600, 600};
  }
  // As many start pages as may be fetched at once, each asked of the site by now.
  std::vector<std::unique_ptr<TestClient>> askForStartPages() {
    std::vector<std::unique_ptr<TestClient>> clients;
    for (std::size_t i = 0; i < CurlPageFetcher::kMaximumFetches; ++i) {
      clients.push_back(std::make_unique<TestClient>(port()));
      clients.back()->send(getRequest("/"));
      EXPECT_GE(site.accept(), 0);
    }
    return clients;
  }
  LocalSite site;
};

TEST_F(LocalAppSite, ItsAnswerIsServedWhenItIsTextElseTheGuidePage) {
  auto ok = [](const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const struct {
    const char* what;
    std::string answer, page, moved = ""; // the answer under /moved
  } cases[] = {
      {"a page", ok("<p>remote caf\xc3\xa9</p>"), "<p>remote caf\xc3\xa9</p>"},
      {"an error page", "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nNot here.",
       "Not here."},
      {"a redirect", "HTTP/1.1 302 Found\r\nLocation: /moved\r\nContent-Length: 0\r\n\r\n",
       "<p>moved here</p>", ok("<p>moved here</p>")},
      {"not UTF-8", ok("<p>\xff</p>"), kGuide},
      {"an empty page", ok(""), kGuide},
      {"a page over the size cap, of no declared length",
       "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" +
           std::string(CurlPageFetcher::kMaximumPage + 1, 'a'),
       kGuide},
  };
  for (const auto& c : cases) {
    auto page = std::async(std::launch::async, [this] { return get("/"); });
    site.answer(c.answer);
    if (!c.moved.empty())
      site.answer(c.moved, "/moved");
    EXPECT_EQ(page.get(), htmlPage(c.page)) << c.what;
  }
}

// A site that never answers: only the time-outs end the fetch.
class SilentSite : public LocalAppSite {
protected:
  SilentSite() { appSiteTimeOuts = {1, 1}; }
};

TEST_F(SilentSite, WithoutAPageBesideTheProgramTheGuidePageArrivesOnceTheFetchGivesUp) {
  EXPECT_EQ(get("/", 60s), kGuidePage);
}

// The site takes the fetches' requests and never says a word.
TEST_F(LocalAppSite, PendingFetchesLeaveThePictureStreamsRunningAndEndWithTheSiteOrTheHost) {
  TestClient viewer(port());
  ASSERT_TRUE(streamOpened(viewer));
  MjpegReader stream(viewer);
  auto pending = askForStartPages();
  // One more while the cap is reached: the guide page at once, without asking the site.
  EXPECT_EQ(get("/"), kGuidePage);
  // Frames keep coming while the fetches wait.
  for (int frame = 0; frame < 10; ++frame)
    ASSERT_TRUE(stream.readFrame(20s)) << "the picture stream stalled at frame " << frame;
  for (auto& client : pending)
    EXPECT_TRUE(client->staysSilent(0ms));
  // The site hangs up: the guide page.
  site.hangUp();
  for (auto& client : pending)
    EXPECT_EQ(client->readUntilClosed(10s), kGuidePage);
  EXPECT_LT(site.accept(nullptr, 0ms), 0) << "a fetch beyond the cap";

  // Destroying the host ends its fetches and closes their connections.
  pending = askForStartPages();
  EXPECT_EQ(threadsNamed("tovel-fetch"), 1);
  TearDown();
  EXPECT_EQ(threadsNamed("tovel-fetch"), 0);
  for (int fd : site.connections) {
    char byte;
    EXPECT_TRUE(readable(fd, 20s) && ::recv(fd, &byte, 1, 0) == 0) << "a site connection left open";
  }
  for (auto& client : pending)
    EXPECT_TRUE(client->waitClosed()) << "a waiting client's connection left open";
}

class PageBesideTheProgram : public WebAssetRoutes {
protected:
  PageBesideTheProgram() {
    fs::create_directories(directory);
    programPath = (directory / "tovel-host").string();
  }
  ~PageBesideTheProgram() override { fs::remove_all(directory); }
  fs::path directory = fs::temp_directory_path() / ("tovel-page-" + std::to_string(::getpid()));
};

TEST_F(PageBesideTheProgram, IsReadAnewForEveryRequestUnlessEmptyOrNotUtf8) {
  const struct {
    const char* target;
    std::string file, page;
  } cases[] = {{"/", "<p>first</p>", htmlPage("<p>first</p>")},
               {"/?x=1", "<p>second, caf\xc3\xa9</p>", htmlPage("<p>second, caf\xc3\xa9</p>")},
               {"/", "", kGuidePage},
               {"/", "<p>\xff</p>", kGuidePage}};
  for (const auto& c : cases) {
    std::ofstream(directory / "index.html") << c.file;
    EXPECT_EQ(get(c.target), c.page) << c.file;
  }
}

} // namespace
} // namespace tovel::test

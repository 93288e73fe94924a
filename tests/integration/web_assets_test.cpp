#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <vector>

#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#include "server/curl_page_fetcher.h"
#include "server/embedded_assets.h"
#include "server/responses.h"
#include "server/web_assets.h"
#include "support/host_fixture.h"
#include "support/mjpeg_reader.h"
#include "support/threads.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string textHead(const std::string& type, std::size_t length, bool noCache = false) {
  return "HTTP/1.1 200 OK\nContent-Type: " + type + "\n" +
         (noCache ? "Cache-Control: no-cache\n" : "") +
         "Content-Length: " + std::to_string(length) + "\n\n";
}
const std::string kGuidePage = textHead("text/html", 3380, true) + std::string(embeddedGuidePage());

// A stand-in for the app site on loopback. A request for a path it has an answer for gets that
// answer and the connection closed; any other request is met with silence until closeAll().
class LocalSite {
public:
  LocalSite() : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {
    port_ = acceptor_.local_endpoint().port();
    acceptNext();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~LocalSite() {
    io_.stop();
    thread_.join();
  }

  std::string address() const { return "http://127.0.0.1:" + std::to_string(port_); }
  void answer(const std::string& path, std::string response) {
    std::lock_guard lock(mutex_);
    answers_[path] = std::move(response);
  }
  int requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // Waits until this many requests have arrived and the fetcher has closed this many of the
  // silent connections.
  bool waitFor(int requests, int closedByFetcher = 0) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(
        lock, 20s, [&] { return requests_ >= requests && closedByFetcher_ >= closedByFetcher; });
  }
  void closeAll() {
    asio::post(io_, [this] {
      for (auto& session : silent_)
        session->socket.close();
      silent_.clear();
    });
  }

private:
  struct Session {
    explicit Session(asio::ip::tcp::socket s) : socket(std::move(s)) {}
    asio::ip::tcp::socket socket;
    std::string received;
  };

  void acceptNext() {
    acceptor_.async_accept([this](asio::error_code ec, asio::ip::tcp::socket socket) {
      if (ec)
        return;
      serve(std::make_shared<Session>(std::move(socket)));
      acceptNext();
    });
  }

  void serve(std::shared_ptr<Session> session) {
    asio::async_read_until(
        session->socket, asio::dynamic_buffer(session->received), "\r\n\r\n",
        [this, session](asio::error_code ec, std::size_t) {
          if (ec)
            return;
          std::string& request = session->received; // "GET /path HTTP/1.1..."
          std::size_t start = request.find(' ') + 1;
          std::string path = request.substr(start, request.find(' ', start) - start);
          std::optional<std::string> response;
          {
            std::lock_guard lock(mutex_);
            ++requests_;
            if (auto found = answers_.find(path); found != answers_.end())
              response = found->second;
          }
          changed_.notify_all();
          if (response) {
            auto bytes = std::make_shared<std::string>(std::move(*response));
            asio::async_write(
                session->socket, asio::buffer(*bytes),
                [session, bytes](asio::error_code, std::size_t) { session->socket.close(); });
            return;
          }
          silent_.push_back(session);
          // Nothing more is expected from the fetcher but the end of its connection.
          auto scratch = std::make_shared<char>();
          asio::async_read(session->socket, asio::buffer(scratch.get(), 1),
                           [this, session, scratch](asio::error_code ec, std::size_t) {
                             if (ec == asio::error::operation_aborted)
                               return; // closed by closeAll()
                             std::lock_guard lock(mutex_);
                             ++closedByFetcher_;
                             changed_.notify_all();
                           });
        });
  }

  asio::io_context io_;
  asio::ip::tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  std::vector<std::shared_ptr<Session>> silent_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::string> answers_;
  int requests_ = 0;
  int closedByFetcher_ = 0;
  std::thread thread_;
};

TEST(AssetTexts, ArePlainAscii) {
  AssetTexts texts = makeAssetTexts();
  for (const std::string* text :
       {&texts.manifestContent, &texts.serviceWorkerContent, &texts.htmlContent})
    for (char c : *text)
      ASSERT_LT(std::uint8_t(c), 0x80u);
}

class WebAssetRoutes : public HostFixture {
protected:
  std::string get(const std::string& target, std::chrono::milliseconds timeout = 10s) {
    TestClient client(port());
    client.send("GET " + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
    return client.readUntilClosed(timeout);
  }
};

TEST_F(WebAssetRoutes, ManifestServiceWorkerAndIconsWithExactHeads) {
  AssetTexts texts = makeAssetTexts();
  EXPECT_EQ(get("/manifest.json"), textHead("application/json", 273) + texts.manifestContent);
  EXPECT_EQ(get("/service-worker.js"),
            textHead("application/javascript", 1140) + texts.serviceWorkerContent);
  std::string icon = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 3501\r\n\r\n" +
                     std::string(embeddedIconPng());
  EXPECT_EQ(get("/icon-192.png"), icon);
  EXPECT_EQ(get("/icon-512.png"), icon);
}

class UnreachableSite : public WebAssetRoutes {
protected:
  // A documentation-only address: nothing answers there, so only the time-outs end the fetch.
  UnreachableSite() {
    appSite = "https://192.0.2.1:9";
    appSiteTimeOuts = {1, 1};
  }
};

TEST_F(UnreachableSite, WithoutAPageBesideTheProgramTheGuidePageArrivesOnceTheFetchGivesUp) {
  EXPECT_EQ(get("/", 60s), kGuidePage);
  EXPECT_EQ(get("/?url=http://1.2.3.4:8096", 60s), kGuidePage);
}

class AnsweringSite : public WebAssetRoutes {
protected:
  AnsweringSite() { appSite = site.address(); }
  LocalSite site;
};

TEST_F(AnsweringSite, ItsAnswerIsServedWhenItIsTextElseTheGuidePage) {
  auto ok = [](const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const std::string guide(embeddedGuidePage());
  site.answer("/moved", ok("<p>moved here</p>"));
  struct Case {
    const char* what;
    std::string answer;
    std::string page;
  } cases[] = {
      {"a page", ok("<p>remote caf\xc3\xa9</p>"), "<p>remote caf\xc3\xa9</p>"},
      {"an error page", "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nNot here.",
       "Not here."},
      {"a redirect", "HTTP/1.1 302 Found\r\nLocation: /moved\r\nContent-Length: 0\r\n\r\n",
       "<p>moved here</p>"},
      {"not UTF-8", ok("<p>\xff</p>"), guide},
      {"an empty page", ok(""), guide},
      {"a page over the size cap, of no declared length",
       "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" +
           std::string(CurlPageFetcher::kMaximumPage + 1, 'a'),
       guide},
  };
  for (const Case& c : cases) {
    site.answer("/", c.answer);
    EXPECT_EQ(get("/"), textHead("text/html", c.page.size(), true) + c.page) << c.what;
  }
}

// The app site accepts the fetches' connections and never says a word.
class SilentSite : public WebAssetRoutes {
protected:
  // The fetches wait until the test lets the site go, however slow the run.
  SilentSite() {
    appSite = site.address();
    appSiteTimeOuts = {600, 600};
  }

  std::vector<std::unique_ptr<TestClient>> askForStartPages(std::size_t count) {
    std::vector<std::unique_ptr<TestClient>> clients;
    for (std::size_t i = 0; i < count; ++i) {
      clients.push_back(std::make_unique<TestClient>(port()));
      clients.back()->send("GET / HTTP/1.1\r\nHost: h\r\n\r\n");
    }
    return clients;
  }
  static bool unanswered(const std::vector<std::unique_ptr<TestClient>>& clients) {
    return std::all_of(clients.begin(), clients.end(),
                       [](auto& client) { return client->staysSilent(0ms); });
  }

  LocalSite site;
};

TEST_F(SilentSite, PendingFetchesLeaveThePictureStreamsRunningAndExtraRequestsGetTheGuidePage) {
  TestClient viewer(port());
  viewer.send("GET /screen.mjpg HTTP/1.1\r\nHost: h\r\n\r\n");
  MjpegReader stream(viewer);
  ASSERT_EQ(stream.readHead(), kMjpegStreamHead);
  ASSERT_TRUE(stream.readFrame());

  using Clock = std::chrono::steady_clock;
  auto pending = askForStartPages(CurlPageFetcher::kMaximumFetches);
  ASSERT_TRUE(site.waitFor(int(CurlPageFetcher::kMaximumFetches)));

  // One more while the cap is reached: the guide page at once, without asking the site.
  EXPECT_EQ(get("/"), kGuidePage);

  // Frames keep coming while the fetches wait.
  int frames = 0;
  Clock::duration largestGap{};
  for (auto last = Clock::now(); frames < 10; ++frames) {
    ASSERT_TRUE(stream.readFrame(20s)) << "the picture stream stalled at frame " << frames;
    largestGap = std::max(largestGap, Clock::now() - last);
    last = Clock::now();
  }
  EXPECT_TRUE(unanswered(pending));
  auto gapMs = std::chrono::duration_cast<std::chrono::milliseconds>(largestGap).count();
  std::cout << "[ MEASURE  ] largest gap between frames with " << CurlPageFetcher::kMaximumFetches
            << " fetches pending: " << gapMs << " ms over " << frames << " frames" << std::endl;
  RecordProperty("largest_frame_gap_ms", int(gapMs));

  site.closeAll();
  for (auto& client : pending)
    EXPECT_EQ(client->readUntilClosed(10s), kGuidePage);
  EXPECT_EQ(site.requests(), int(CurlPageFetcher::kMaximumFetches));
}

TEST_F(SilentSite, DestroyingTheHostEndsItsFetchesAndClosesTheirConnections) {
  auto pending = askForStartPages(CurlPageFetcher::kMaximumFetches);
  int count = int(CurlPageFetcher::kMaximumFetches);
  ASSERT_TRUE(site.waitFor(count));
  EXPECT_EQ(threadsNamed("tovel-fetch"), 1);

  TearDown();
  EXPECT_EQ(threadsNamed("tovel-fetch"), 0);
  EXPECT_TRUE(site.waitFor(count, count)) << "connections to the site left open";
  for (auto& client : pending)
    EXPECT_TRUE(client->waitClosed()) << "a waiting client's connection left open";
}

class PageBesideTheProgram : public WebAssetRoutes {
protected:
  PageBesideTheProgram() {
    directory = fs::temp_directory_path() / ("tovel-page-" + std::to_string(::getpid()));
    fs::create_directories(directory);
    programPath = (directory / "tovel-host").string();
  }
  ~PageBesideTheProgram() override { fs::remove_all(directory); }
  void write(const std::string& text) { std::ofstream(directory / "index.html") << text; }

  fs::path directory;
};

TEST_F(PageBesideTheProgram, IsReadAnewForEveryRequest) {
  write("<p>first</p>");
  EXPECT_EQ(get("/"), textHead("text/html", 12, true) + "<p>first</p>");
  write("<p>second, caf\xc3\xa9</p>");
  EXPECT_EQ(get("/?x=1"), textHead("text/html", 20, true) + "<p>second, caf\xc3\xa9</p>");
  // An empty or non-UTF-8 file counts as none.
  write("");
  EXPECT_EQ(get("/"), kGuidePage);
  write("<p>\xff</p>");
  EXPECT_EQ(get("/"), kGuidePage);
}

} // namespace
} // namespace tovel::test

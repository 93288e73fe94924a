#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "server/embedded_assets.h"
#include "server/web_assets.h"
#include "support/host_fixture.h"

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

TEST(AssetTexts, HaveTheirFixedSizesAndAreAscii) {
  AssetTexts texts = makeAssetTexts();
  EXPECT_EQ(texts.manifestContent.size(), 273u);
  EXPECT_EQ(texts.serviceWorkerContent.size(), 1140u);
  EXPECT_EQ(texts.htmlContent.size(), 3380u);
  EXPECT_EQ(texts.icon192PngContent.size(), 4668u);
  EXPECT_EQ(texts.icon192PngContent.find('='), std::string::npos);
  for (const std::string* text : {&texts.manifestContent, &texts.serviceWorkerContent,
                                  &texts.htmlContent, &texts.icon192PngContent})
    for (char c : *text)
      ASSERT_LT(std::uint8_t(c), 0x80u) << "assets are plain ASCII";
}

TEST(AssetTexts, IconIsA192PixelFourBitIndexedPngWithTransparency) {
  std::string png(embeddedIconPng());
  auto bigEndian = [&](std::size_t at) {
    return std::uint32_t(std::uint8_t(png[at])) << 24 |
           std::uint32_t(std::uint8_t(png[at + 1])) << 16 |
           std::uint32_t(std::uint8_t(png[at + 2])) << 8 | std::uint8_t(png[at + 3]);
  };
  ASSERT_EQ(png.size(), 3501u);
  ASSERT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  EXPECT_EQ(bigEndian(16), 192u); // width
  EXPECT_EQ(bigEndian(20), 192u); // height
  EXPECT_EQ(png[24], 4);          // bit depth
  EXPECT_EQ(png[25], 3);          // indexed colour
  // The chunks: a palette of 15 entries and a transparency entry for each.
  std::string chunks;
  std::size_t at = 8;
  for (; at + 8 <= png.size(); at += 12 + bigEndian(at))
    chunks += png.substr(at + 4, 4) + " " + std::to_string(bigEndian(at)) + " ";
  EXPECT_EQ(at, png.size());
  EXPECT_EQ(chunks, "IHDR 13 PLTE 45 tRNS 15 IDAT 929 tEXt 2419 IEND 0 ");
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
  UnreachableSite() { appSite = "https://192.0.2.1:9"; }
};

TEST_F(UnreachableSite, WithoutAPageBesideTheProgramTheGuidePageArrivesWithinTheFetchTimeOut) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(get("/", 15s), kGuidePage);
  EXPECT_LE(std::chrono::steady_clock::now() - start,
            std::chrono::seconds(CurlPageFetcher::kTotalTimeoutSeconds + 1));
  EXPECT_EQ(get("/?url=http://1.2.3.4:8096", 15s), kGuidePage);
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

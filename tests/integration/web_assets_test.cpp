#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "server/embedded_assets.h"
#include "server/web_assets.h"
#include "support/host_fixture.h"

namespace tovel::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string get(std::uint16_t port, const std::string& target,
                std::chrono::milliseconds timeout = 10s) {
  TestClient client(port);
  client.send("GET " + target + " HTTP/1.1\r\nHost: h\r\n\r\n");
  return client.readUntilClosed(timeout);
}

std::string textHead(const std::string& type, std::size_t length, bool noCache = false) {
  return "HTTP/1.1 200 OK\nContent-Type: " + type + "\n" +
         (noCache ? "Cache-Control: no-cache\n" : "") +
         "Content-Length: " + std::to_string(length) + "\n\n";
}

std::uint32_t bigEndian(const std::string& bytes, std::size_t at) {
  return std::uint32_t(std::uint8_t(bytes[at])) << 24 |
         std::uint32_t(std::uint8_t(bytes[at + 1])) << 16 |
         std::uint32_t(std::uint8_t(bytes[at + 2])) << 8 | std::uint8_t(bytes[at + 3]);
}

TEST(AssetTexts, HaveTheirFixedSizes) {
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
  ASSERT_EQ(png.size(), 3501u);
  ASSERT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  ASSERT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(bigEndian(png, 16), 192u);
  EXPECT_EQ(bigEndian(png, 20), 192u);
  EXPECT_EQ(png[24], 4); // bit depth
  EXPECT_EQ(png[25], 3); // indexed colour
  // Walk the chunks: a palette of 15 entries and a transparency entry for each.
  std::size_t at = 8;
  std::uint32_t paletteEntries = 0, transparencyEntries = 0;
  bool ended = false;
  while (at + 8 <= png.size()) {
    std::uint32_t length = bigEndian(png, at);
    std::string type = png.substr(at + 4, 4);
    if (type == "PLTE")
      paletteEntries = length / 3;
    if (type == "tRNS")
      transparencyEntries = length;
    ended = type == "IEND";
    at += 12 + length;
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(at, png.size());
  EXPECT_EQ(paletteEntries, 15u);
  EXPECT_EQ(transparencyEntries, 15u);
}

using WebAssetRoutes = HostFixture;

TEST_F(WebAssetRoutes, ManifestServiceWorkerAndIconsWithExactHeads) {
  AssetTexts texts = makeAssetTexts();
  EXPECT_EQ(get(port(), "/manifest.json"),
            textHead("application/json", 273) + texts.manifestContent);
  EXPECT_EQ(get(port(), "/service-worker.js"),
            textHead("application/javascript", 1140) + texts.serviceWorkerContent);
  std::string icon = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 3501\r\n\r\n" +
                     std::string(embeddedIconPng());
  EXPECT_EQ(get(port(), "/icon-192.png"), icon);
  EXPECT_EQ(get(port(), "/icon-512.png"), icon);
}

TEST_F(WebAssetRoutes, WithoutAPageBesideTheProgramTheGuidePageIsServed) {
  // The configured site never resolves, so the fetch fails and the guide page stands in.
  auto start = std::chrono::steady_clock::now();
  std::string expected = textHead("text/html", 3380, true) + std::string(embeddedGuidePage());
  EXPECT_EQ(get(port(), "/"), expected);
  EXPECT_EQ(get(port(), "/?url=http://1.2.3.4:8096"), expected);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2 * 6s);
}

class UnreachableSite : public HostFixture {
protected:
  // A documentation-only address: nothing answers there, so only the time-outs end the fetch.
  UnreachableSite() { appSite = "https://192.0.2.1:9"; }
};

TEST_F(UnreachableSite, StartPageStillArrivesWithinTheFetchTimeOut) {
  auto start = std::chrono::steady_clock::now();
  std::string page = get(port(), "/", 15s);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(page, textHead("text/html", 3380, true) + std::string(embeddedGuidePage()));
  EXPECT_LE(elapsed, std::chrono::seconds(CurlPageFetcher::kTotalTimeoutSeconds + 1));
}

class PageBesideTheProgram : public HostFixture {
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
  EXPECT_EQ(get(port(), "/"), textHead("text/html", 12, true) + "<p>first</p>");
  write("<p>second, caf\xc3\xa9</p>");
  EXPECT_EQ(get(port(), "/?x=1"), textHead("text/html", 20, true) + "<p>second, caf\xc3\xa9</p>");
  // An empty or non-UTF-8 file counts as none.
  write("");
  EXPECT_EQ(get(port(), "/").size(), textHead("text/html", 3380, true).size() + 3380);
  write("<p>\xff</p>");
  EXPECT_EQ(get(port(), "/").size(), textHead("text/html", 3380, true).size() + 3380);
}

} // namespace
} // namespace tovel::test

#include "server/web_assets.h"

#include <openssl/evp.h>

#include <fstream>
#include <iterator>

#include "server/embedded_assets.h"
#include "server/responses.h"
#include "server/utf8.h"

namespace tovel {

namespace {

std::string base64Encode(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()));
  text.resize(std::size_t(n));
  return text;
}

// None when the text is not Base64 of the standard alphabet.
std::optional<std::string> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0)
    return std::nullopt;
  std::string bytes(3 * (text.size() / 4) + 1, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
  if (n < 0)
    return std::nullopt;
  // The decoder counts padding as zero bytes; drop them.
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=')
    padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  bytes.resize(std::size_t(n) - padding);
  return bytes;
}

void sendAndCancel(const ConnectionPtr& connection, std::string response) {
  connection->send(std::move(response),
                   [connection](std::optional<NetworkError>) { connection->cancel(); });
}

// Text responses end their lines with a bare LF; clients have always seen them so.
std::string textResponse(std::string_view contentType, std::string_view extraHeaders,
                         std::string_view body) {
  std::string response = "HTTP/1.1 200 OK\nContent-Type: ";
  response += contentType;
  response += "\n";
  response += extraHeaders;
  response += "Content-Length: " + std::to_string(body.size()) + "\n\n";
  response += body;
  return response;
}

} // namespace

AssetTexts makeAssetTexts() {
  AssetTexts texts;
  texts.manifestContent = std::string(embeddedManifest());
  texts.serviceWorkerContent = std::string(embeddedServiceWorker());
  texts.htmlContent = std::string(embeddedGuidePage());
  texts.icon192PngContent = base64Encode(embeddedIconPng());
  return texts;
}

std::string WebAssets::readHTMLContent() const {
  // The directory of the program as it was started; a bare name means the current directory.
  std::string directory = ".";
  std::size_t slash = programPath_.rfind('/');
  if (slash != std::string::npos)
    directory = slash == 0 ? "/" : programPath_.substr(0, slash);
  std::ifstream file(directory + "/index.html", std::ios::binary);
  if (!file)
    return {};
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad() || !isValidUtf8(text))
    return {};
  return text;
}

void WebAssets::sendAppPage(const ConnectionPtr& connection) {
  auto respond = [connection](std::string page) {
    sendAndCancel(connection, textResponse("text/html", "Cache-Control: no-cache\n", page));
  };
  std::string page = readHTMLContent();
  if (!page.empty()) {
    respond(std::move(page));
    return;
  }
  fetcher_.fetchRemoteContent(respond);
}

void WebAssets::sendManifest(const ConnectionPtr& connection) {
  sendAndCancel(connection, textResponse("application/json", "", texts_.manifestContent));
}

void WebAssets::sendServiceWorker(const ConnectionPtr& connection) {
  sendAndCancel(connection,
                textResponse("application/javascript", "", texts_.serviceWorkerContent));
}

void WebAssets::sendIcon(const ConnectionPtr& connection) {
  std::optional<std::string> png = base64Decode(texts_.icon192PngContent);
  if (!png) {
    sendAndCancel(connection, std::string(kNotFoundResponse));
    return;
  }
  std::string response = "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: " +
                         std::to_string(png->size()) + "\r\n\r\n";
  sendAndCancel(connection, response + *png);
}

void WebAssets::install(RouteHandlers& handlers) {
  handlers.appPage = [this](const ConnectionPtr& c, const HttpRequest&) { sendAppPage(c); };
  handlers.manifest = [this](const ConnectionPtr& c, const HttpRequest&) { sendManifest(c); };
  handlers.serviceWorker = [this](const ConnectionPtr& c, const HttpRequest&) {
    sendServiceWorker(c);
  };
  handlers.icon = [this](const ConnectionPtr& c, const HttpRequest&) { sendIcon(c); };
}

} // namespace tovel

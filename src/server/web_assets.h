#pragma once

#include <functional>
#include <memory>
#include <string>

#include "server/router.h"

namespace tovel {

// The built-in asset texts: the web manifest, the service worker, the local guide page and the
// app icon as Base64 text.
struct AssetTexts {
  std::string manifestContent;
  std::string serviceWorkerContent;
  std::string htmlContent;
  std::string icon192PngContent;
};

// The texts as built into the program.
AssetTexts makeAssetTexts();

// Fetches the public app site's root page and calls the completion exactly once, on any thread,
// with the page text, or with the guide page when the page cannot be had.
class RemotePageFetcher {
public:
  virtual ~RemotePageFetcher() = default;
  virtual void fetchRemoteContent(std::function<void(std::string)> completion) = 0;
};

// The installable web app's files: the start page, the manifest, the service worker and the icon.
class WebAssets {
public:
  WebAssets(const AssetTexts& texts, std::string programPath, RemotePageFetcher& fetcher)
      : texts_(texts), programPath_(std::move(programPath)), fetcher_(fetcher) {}

  // "index.html" beside the program, read anew each time; empty when missing or not UTF-8.
  std::string readHTMLContent() const;

  void sendAppPage(const ConnectionPtr& connection);
  void sendManifest(const ConnectionPtr& connection);
  void sendServiceWorker(const ConnectionPtr& connection);
  void sendIcon(const ConnectionPtr& connection);

  // Installs the four routes.
  void install(RouteHandlers& handlers);

private:
  const AssetTexts& texts_;
  std::string programPath_;
  RemotePageFetcher& fetcher_;
};

} // namespace tovel

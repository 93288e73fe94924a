#pragma once

#include <functional>
#include <memory>

#include "common/log.h"
#include "input/injection_state.h"
#include "server/connection.h"
#include "server/request_intake.h"

namespace tovel {

using ConnectionPtr = std::shared_ptr<Connection>;
using RouteHandler = std::function<void(const ConnectionPtr&, const HttpRequest&)>;

// The pages and streams other parts of the host serve. A route whose handler is not set answers
// "not found".
struct RouteHandlers {
  RouteHandler appPage;             // GET / and /?...
  RouteHandler manifest;            // GET /manifest.json
  RouteHandler serviceWorker;       // GET /service-worker.js
  RouteHandler icon;                // GET /icon-192.png, /icon-512.png
  RouteHandler mp4Stream;           // GET /screen.mp4...
  RouteHandler followCaptureStream; // GET /screen.mjpg?screen=true...
  RouteHandler mjpegStream;         // GET /screen.mjpg...
};

// Whether the request is for one of the web app's own files (its page, manifest, service worker,
// icons) or a CORS preflight: what a browser fetches before the app can say who it is.
bool servesAppFile(const HttpRequest& request);

// Decides what a request is and answers it: CORS preflight, pages, streams, control endpoints,
// or not found.
class Router {
public:
  Router(InputContext& input, std::function<void(const ConnectionPtr&)> receiveNext)
      : input_(input), receiveNext_(std::move(receiveNext)) {}

  RouteHandlers& handlers() { return handlers_; }
  void route(const ConnectionPtr& connection, const HttpRequest& request);

private:
  void sendAndCancel(const ConnectionPtr& connection, std::string_view response);

  InputContext& input_;
  std::function<void(const ConnectionPtr&)> receiveNext_;
  RouteHandlers handlers_;
};

} // namespace tovel

#include "server/router.h"

#include "common/text.h"
#include "server/control_endpoints.h"
#include "server/responses.h"

namespace tovel {

namespace {

bool isAppPage(std::string_view target) {
  return target == "/" || startsWith(target, "/?");
}

bool isIcon(std::string_view target) {
  return target == "/icon-192.png" || target == "/icon-512.png";
}

} // namespace

bool servesAppFile(const HttpRequest& request) {
  const std::string& target = request.target;
  return request.method == "OPTIONS" ||
         (request.method == "GET" && (isAppPage(target) || target == "/manifest.json" ||
                                      target == "/service-worker.js" || isIcon(target)));
}

void Router::sendAndCancel(const ConnectionPtr& connection, std::string_view response) {
  connection->send(response, [connection](std::optional<NetworkError>) { connection->cancel(); });
}

void Router::route(const ConnectionPtr& connection, const HttpRequest& request) {
  const std::string& method = request.method;
  const std::string& target = request.target;

  // The first matching row wins, in this order.
  if (method == "OPTIONS") {
    sendAndCancel(connection, kPreflightResponse);
    return;
  }
  if (method == "GET") {
    const RouteHandler* handler = nullptr;
    if (isAppPage(target))
      handler = &handlers_.appPage;
    else if (target == "/manifest.json")
      handler = &handlers_.manifest;
    else if (target == "/service-worker.js")
      handler = &handlers_.serviceWorker;
    else if (isIcon(target))
      handler = &handlers_.icon;
    else if (startsWith(target, "/screen.mp4"))
      handler = &handlers_.mp4Stream;
    else if (startsWith(target, "/screen.mjpg?follow=true&DISABLED") ||
             startsWith(target, "/screen.mjpg?screen=true"))
      handler = &handlers_.followCaptureStream;
    else if (startsWith(target, "/screen.mjpg"))
      handler = &handlers_.mjpegStream;
    if (handler && *handler) {
      (*handler)(connection, request);
      return;
    }
  } else if (method == "POST") {
    // The injection happens before the acknowledgement is sent; the connection then stays open
    // for the client's next request.
    handleControlRequest(input_, target, request.body);
    connection->send(kControlAcknowledgement,
                     [this, connection](std::optional<NetworkError>) { receiveNext_(connection); });
    return;
  }
  sendAndCancel(connection, kNotFoundResponse);
}

} // namespace tovel

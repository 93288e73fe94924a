#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <string>

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/thread_pool.hpp>

#include "common/log.h"
#include "host/console.h"
#include "input/injection_state.h"
#include "input/text_typing.h"
#include "mjpeg/follow_capture_stream.h"
#include "mjpeg/mjpeg_stream.h"
#include "mp4/live_screen_streamer.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "server/curl_page_fetcher.h"
#include "server/listener.h"
#include "server/request_reader.h"
#include "server/router.h"
#include "server/web_assets.h"
#include "server/websocket_session.h"

namespace tovel {

struct HostOptions {
  std::uint16_t port = 8096;
  std::string programPath; // the program's own path, to find files beside it
  std::string appSite;     // base address of the public app site
  PageFetchTimeOuts appSiteTimeOuts;
  H264EncoderSettings videoSettings; // the live MP4 stream's
  ExitProcess exitProcess;           // ends the process; must not return when it really exits
  bool showQrCode = false;           // draw the local link as a QR code after the start message
  // Refuses requests from other sites' pages; none serves every request (tests).
  std::optional<OriginPolicy> originPolicy;
  // With a pairing secret, only requests that carry it drive the desktop or see its screen, and
  // the printed local link carries it; none: every request is served.
  std::optional<std::string> pairingKey;
  // Open connections in all and per client address past which an idle one is closed to make
  // room for a new one, or the new one when none is idle.
  std::size_t maxConnections = Listener::kMaxConnections;
  std::size_t maxConnectionsPerAddress = Listener::kMaxConnectionsPerAddress;
};

// The host process: creates the shared state, installs the termination handlers and the modifier
// tap, starts the listener, and runs the console. Everything it owns lives as long as it does.
class Host {
public:
  Host(asio::io_context& io, Platform& platform, Clock& clock, Log& log, HostOptions options);
  ~Host();

  // The start-up sequence up to a listening server. False, after printing why, when the port
  // cannot be had: the host must not run without its listener.
  bool start();

  // Prints the start message, the address and the links, and the local link's QR code when asked
  // for and the host has an address a phone can reach.
  void announce();

  // Announces the host, then feeds every line of the input to the console
  // interpreter on the main loop until the input ends, which ends the process. Runs on a thread
  // of its own.
  void startConsole(std::istream& input);

  std::uint16_t port() const;
  // Connections whose sockets are open; 0 before start().
  std::size_t openConnections() const;
  InjectionState& injectionState() { return state_; }
  InputContext& input() { return input_; }
  TextTyper& typer() { return typer_; }
  Router& router() { return router_; }
  const MjpegStreams& mjpegStreams() const { return mjpeg_; }
  // Made by start() once the listener is there; null before.
  LiveScreenStreamer* streamer() { return streamer_.get(); }
  RequestReader& reader() { return reader_; }
  // The worker pool for picture streams.
  asio::thread_pool& workers() { return workers_; }

private:
  void onScreensChanged();
  // Runs a step of typing on the main loop after a while.
  void scheduleTyping(double seconds, std::function<void()> task);

  asio::io_context& io_;
  Platform& platform_;
  Clock& clock_;
  Log& log_;
  HostOptions options_;
  asio::thread_pool workers_;
  AssetTexts texts_;
  CurlPageFetcher fetcher_;
  WebAssets assets_;
  MjpegStreams mjpeg_;
  FollowCaptureStreams follow_;
  InjectionState state_;
  TextTyper typer_;
  InputContext input_;
  asio::signal_set signals_;
  Router router_;
  RequestReader reader_;
  WebSocketSession webSocket_;
  std::unique_ptr<Listener> listener_;
  // Last: its capture and encoder threads stop before anything they use goes.
  std::unique_ptr<LiveScreenStreamer> streamer_;
};

} // namespace tovel

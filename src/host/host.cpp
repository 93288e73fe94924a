#include "host/host.h"

#include <algorithm>
#include <csignal>
#include <thread>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "host/address.h"
#include "host/start_banner.h"
#include "host/terminal_qr.h"
#include "input/modifier_tap.h"

namespace tovel {

Host::Host(asio::io_context& io, Platform& platform, Clock& clock, Log& log, HostOptions options)
    : io_(io), platform_(platform), clock_(clock), log_(log), options_(std::move(options)),
      workers_(std::max(2u, std::thread::hardware_concurrency())), texts_(makeAssetTexts()),
      fetcher_(options_.appSite, texts_.htmlContent, options_.appSiteTimeOuts),
      assets_(texts_, options_.programPath, fetcher_), mjpeg_(platform_, log_, workers_),
      follow_(platform_, log_),
      typer_(platform_, log_,
             [this](double seconds, auto task) { scheduleTyping(seconds, std::move(task)); }),
      input_{platform_, clock_, state_, log_, &typer_}, signals_(io),
      router_(input_, [this](const ConnectionPtr& connection) { reader_.receiveNext(connection); }),
      reader_(io_, router_, log_), webSocket_(input_, log_) {
  reader_.setOriginPolicy(options_.originPolicy);
  reader_.setPairingSecret(options_.pairingKey);
  reader_.setUpgradeHandler(
      [this](const ConnectionPtr& connection, const std::string& request, Bytes following) {
        webSocket_.performWebSocketHandshake(connection, request, std::move(following),
                                             reader_.idleConnectionSeconds());
      });
}

Host::~Host() {
  // Pending start-page fetches let go of their clients' connections before those are abandoned.
  fetcher_.stop();
  // Streams never end by themselves: drop their pending steps rather than wait for them.
  workers_.stop();
  workers_.join();
  // The main loop has stopped by now; what it still held for the connections goes with them.
  reader_.abandonAll();
  platform_.setScreenChangeHandler(nullptr);
  platform_.installModifierTap(nullptr);
}

bool Host::start() {
  // Screen layout changes are reported on the main loop, like everything else the host prints
  // about its state.
  platform_.setScreenChangeHandler([this] { asio::post(io_, [this] { onScreensChanged(); }); });

  signals_.add(SIGINT);
  signals_.add(SIGTERM);
  signals_.async_wait([this](const asio::error_code& ec, int) {
    if (ec)
      return;
    log_.print("Received termination signal. Exiting...");
    options_.exitProcess(0);
  });

  // Injected modifier keys are lent to every mouse press while they count as held.
  bool tapInstalled = platform_.installModifierTap([this](EventFlags flags) {
    return modifierTapFlags(state_.modifierState, clock_.now(), flags);
  });
  if (!tapInstalled)
    log_.print("Failed to create event tap.");

  NetworkError error;
  listener_ = Listener::configureListener(io_, options_.port, log_, error);
  if (!listener_) {
    log_.print("Failed to start the listener on port " + std::to_string(options_.port) + ": " +
               error.description);
    return false;
  }
  // The one live MP4 streamer: its capture and compression session are set up now.
  streamer_ = std::make_unique<LiveScreenStreamer>(platform_, log_, io_, options_.videoSettings);
  assets_.install(router_.handlers());
  mjpeg_.install(router_.handlers());
  follow_.install(router_.handlers());
  streamer_->install(router_.handlers());
  listener_->setMaxConnections(options_.maxConnections);
  listener_->setMaxConnectionsPerAddress(options_.maxConnectionsPerAddress);
  listener_->setNewConnectionHandler(
      [this](std::shared_ptr<Connection> connection) { reader_.accept(connection); });
  listener_->start();
  return true;
}

std::uint16_t Host::port() const {
  return listener_ ? listener_->port() : 0;
}

std::size_t Host::openConnections() const {
  return listener_ ? listener_->openConnections() : 0;
}

void Host::scheduleTyping(double seconds, std::function<void()> task) {
  if (seconds <= 0) {
    asio::post(io_, std::move(task));
    return;
  }
  auto timer = std::make_shared<asio::steady_timer>(
      io_, std::chrono::duration_cast<asio::steady_timer::duration>(
               std::chrono::duration<double>(seconds)));
  timer->async_wait([timer, task = std::move(task)](const asio::error_code& error) {
    if (!error)
      task();
  });
}

void Host::onScreensChanged() {
  log_.print("Screens have changed. Current screens:");
  for (const Screen& screen : platform_.screens())
    log_.print("Screen: " + screen.description);
}

void Host::announce() {
  std::optional<std::string> address = getIPAddress();
  printStartBanner(log_, address, options_.appSite, options_.port, options_.pairingKey);
  // A phone cannot open the loopback link, so it gets no code.
  if (!options_.showQrCode || !address)
    return;
  if (auto code = renderTerminalQrCode(localLink(address, options_.port, options_.pairingKey)))
    log_.print(*code);
}

void Host::startConsole(std::istream& input) {
  std::thread([this, &input] {
    announce();
    readConsoleLines(input, [this](std::string line) {
      // Console commands run on the main loop, in order with the network's, so the injection
      // state is only ever touched from one thread.
      asio::post(io_, [this, line = std::move(line)] {
        handleCommand(input_, line, options_.exitProcess);
      });
    });
    asio::post(io_, [this] {
      log_.print("Input stream closed. Exiting...");
      options_.exitProcess(0);
    });
  }).detach();
}

} // namespace tovel

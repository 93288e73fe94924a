#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <vector>

#include <unistd.h>

#include <X11/Xlib.h>
#include <asio/io_context.hpp>
#include <curl/curl.h>

#include "build_config.h"
#include "common/log.h"
#include "host/command_line.h"
#include "host/host.h"
#include "host/pairing_setup.h"
#include "platform/clock.h"
#include "platform/desktop_chooser.h"
#include "platform/x11/x11_error_trap.h"

int main(int argc, char** argv) {
  using namespace tovel;
  std::optional<CommandLine> commandLine =
      parseCommandLine(std::vector<std::string_view>(argv + std::min(argc, 1), argv + argc));
  if (!commandLine) {
    std::fputs(std::string(kUsage).c_str(), stderr);
    return 2;
  }

  // A vanished peer must show up as a send error, not end the process.
  std::signal(SIGPIPE, SIG_IGN);

  StreamLog log(stdout);
  SystemClock clock;

  PairingSetup pairing = setUpPairing(*commandLine, log);
  if (!pairing.ok)
    return 1;
  if (commandLine->printLink) {
    printPairingLink(log, pairing.key, 8096);
    return 0;
  }

  // Both libraries want to be set up before any thread uses them.
  XInitThreads();
  installX11ErrorHandlers();
  curl_global_init(CURL_GLOBAL_DEFAULT);

  ChosenDesktop desktop = chooseDesktop(clock, log);
  for (const std::string& line : desktop.lines)
    log.print(line);

  asio::io_context io;
  HostOptions options;
  options.port = 8096;
  options.pairingKey = pairing.key;
  // The program's own file, wherever it was started from: a name found through PATH would
  // otherwise send the search for index.html to the current directory.
  std::error_code noLink;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", noLink);
  options.programPath = !noLink ? self.string() : argc > 0 ? argv[0] : "";
  options.appSite = TOVEL_APP_SITE;
  const char* allowed = std::getenv("TOVEL_ALLOWED_ORIGINS");
  std::vector<std::string> ignored;
  options.originPolicy =
      OriginPolicy::forThisMachine(options.appSite, allowed ? allowed : "", &ignored);
  for (const std::string& entry : ignored)
    log.print("TOVEL_ALLOWED_ORIGINS: \"" + entry +
              "\" is not an origin (scheme://host[:port]) and is left out.");
  // Only a person at a terminal can point a phone at it; a pipe or a log file gets plain text.
  options.showQrCode = ::isatty(STDOUT_FILENO) == 1;
  options.exitProcess = [&desktop](int status) {
    // The compositor or X server would keep an injected key or button down after the host has
    // gone.
    desktop.releaseHeldInput();
    std::fflush(stdout);
    // Other threads may be blocked in reads or captures; end at once without running
    // destructors under them.
    std::_Exit(status);
  };

  Host host(io, *desktop.platform, clock, log, options);
  if (!host.start())
    return 1;
  // Without the console (as a service, whose input is empty), only the signals end the host.
  if (commandLine->console)
    host.startConsole(std::cin);
  else
    host.announce();
  io.run();
  return 0;
}

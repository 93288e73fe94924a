// Moves the pointer of a GNOME session, or taps a key, the way another program would: through a
// remote-desktop session of its own on the session bus.
//
//   tovel_gnome_remote_input
//
// It prints "ready" once its session has started; then, for each line "move DX DY" on its
// standard input, it moves the pointer by that much and prints "moved", and for each "tap KEYSYM"
// (a number) it presses and releases that key and prints "tapped", once Mutter has taken the
// calls. It ends when its input closes.
#include <iostream>
#include <sstream>

#include "mutter_call.h"

using namespace tovel::witness;

int main() {
  constexpr const char* kService = "org.gnome.Mutter.RemoteDesktop";
  constexpr const char* kSession = "org.gnome.Mutter.RemoteDesktop.Session";
  std::string session =
      callMutter(kService, "/org/gnome/Mutter/RemoteDesktop", kService, "CreateSession");
  callMutter(kService, session, kSession, "Start");
  say("ready");
  for (std::string line; std::getline(std::cin, line);) {
    std::istringstream words(line);
    std::string command;
    double dx = 0, dy = 0;
    unsigned keysym = 0;
    if (words >> command && command == "move" && words >> dx >> dy) {
      callMutter(kService, session, kSession, "NotifyPointerMotionRelative",
                 g_variant_new("(dd)", dx, dy));
      say("moved");
    } else if (command == "tap" && words >> keysym) {
      for (bool pressed : {true, false})
        callMutter(kService, session, kSession, "NotifyKeyboardKeysym",
                   g_variant_new("(ub)", keysym, gboolean(pressed)));
      say("tapped");
    } else {
      std::fprintf(stderr, "not understood: %s\n", line.c_str());
      return 2;
    }
  }
  callMutter(kService, session, kSession, "Stop");
  return 0;
}

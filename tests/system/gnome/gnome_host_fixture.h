#pragma once

#include <xkbcommon/xkbcommon.h>

#include <fstream>
#include <sstream>

#include "support/gnome_session.h"
#include "support/witness_host_test.h"

namespace tovel::test {

class GnomeHostTest : public DesktopHostTest<GnomeSession> {
protected:
  ~GnomeHostTest() override {
    xkb_keymap_unref(keymap_);
    xkb_context_unref(context_);
  }
  // Until the host's screen cast streams, Mutter 43 places its moves a few pixels beyond their
  // targets, along their direction; startHost's picture says that it streams.
  std::string desktopLine() const override {
    return "Using the GNOME Wayland display " + session_->waylandDisplay() +
           " through Mutter's remote desktop.\n";
  }
  void startWitness(WitnessColour colour = kWitnessColour) override {
    startWaylandWitness(TOVEL_WAYLAND_WITNESS, {}, colour);
  }

  // A key reaches the window when a key of the session's keymap types its keysym, at any level of
  // the first layout, unless it is the compositor's overlay key (Super_L, which opens the
  // activities overview when pressed alone).
  bool keyReaches(Keysym keysym, const std::string& name) override {
    if (!keymap_) {
      std::ifstream in(keymapFile_);
      std::stringstream text;
      text << in.rdbuf();
      keymap_ = xkb_keymap_new_from_string(context_, text.str().c_str(), XKB_KEYMAP_FORMAT_TEXT_V1,
                                           XKB_KEYMAP_COMPILE_NO_FLAGS);
      overlayKey_ = session_->run("gsettings get org.gnome.mutter overlay-key");
      EXPECT_TRUE(keymap_) << keymapFile_;
    }
    if (!keymap_ || overlayKey_ == "'" + name + "'\n")
      return false;
    for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap_);
         key <= xkb_keymap_max_keycode(keymap_); ++key)
      for (xkb_level_index_t level = 0; level < xkb_keymap_num_levels_for_key(keymap_, key, 0);
           ++level) {
        const xkb_keysym_t* syms = nullptr;
        int count = xkb_keymap_key_get_syms_by_level(keymap_, key, 0, level, &syms);
        if (std::find(syms, syms + count, xkb_keysym_t(keysym)) != syms + count)
          return true;
      }
    return false;
  }

  // Only the characters of the session's layout. (Caps Lock, unlike on the other desktops, turns
  // the case of the letters the host types there.)
  TextCase textCase() override {
    return {"Hello, World! ~@#%^&*()_+", false, U"Line 7: Hello @ 3 ~ {ok} \"q\" \\ ABC xyz\t<>|\n",
            false, "é (U+00E9)"};
  }

  xkb_context* context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap_ = nullptr;
  std::string overlayKey_;
};

} // namespace tovel::test

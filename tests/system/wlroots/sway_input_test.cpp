#include "support/desktop_checks.h"
#include "system/wlroots/sway_host_fixture.h"

namespace tovel::test {
namespace {

INSTANTIATE_TYPED_TEST_SUITE_P(Sway, DesktopChecks, SwayHostTest);

using SwayInput = SwayHostTest;

// Control and the logo key are down together for the "c" between them: the window hears both.
TEST_F(SwayInput, TheModifiersOfAChordReachTheWindow) {
  ASSERT_NO_FATAL_FAILURE(waitForKeyboardFocus());
  std::size_t from = witnessLines().size();
  auto webSocket = openWebSocket();
  for (auto [name, down] : {std::pair{"control", true},
                            {"command", true},
                            {"c", true},
                            {"c", false},
                            {"command", false},
                            {"control", false}})
    webSocket->send(keyMessage(name, down));
  const std::string chord = "modifiers depressed=0x4 latched=0x0 locked=0x0 group=0; "
                            "modifiers depressed=0x44 latched=0x0 locked=0x0 group=0; "
                            "key keysym=c state=pressed; key keysym=c state=released; "
                            "modifiers depressed=0x4 latched=0x0 locked=0x0 group=0; "
                            "modifiers depressed=0x0 latched=0x0 locked=0x0 group=0";
  EXPECT_EQ(waitForEvents(from, {"modifiers ", "key keysym=c "}, chord), chord);
}

// Pixels stay pixels, as finger scrolling, each frame of one source; the gesture ends with
// axis_stop once no scroll has come for a moment. Positive amounts scroll towards the top or the
// left of the content, which Wayland gives as negative values.
TEST_F(SwayInput, ScrollingArrivesAsFingerScrollingInPixels) {
  pointerOverWitness();
  std::size_t from = witnessLines().size();
  post("/scroll", R"({"x":0,"y":30,"done":false})");
  post("/scroll", R"({"x":-20,"y":0,"done":false})");
  post("/scroll", R"({"x":5,"y":-12,"done":true})");
  const std::string expected =
      "axis_source source=finger; axis axis=vertical value=-30; frame; "
      "axis_source source=finger; axis axis=horizontal value=20; frame; "
      "axis_source source=finger; axis axis=vertical value=12; axis axis=horizontal value=-5; "
      "frame; axis_source source=finger; axis_stop axis=vertical; axis_stop axis=horizontal; "
      "frame";
  EXPECT_EQ(waitForEvents(from, {"axis", "frame"}, expected), expected);
}

// A Wayland session that neither GNOME's interfaces nor the wlroots protocols can drive is named
// at start-up with what is missing; the host goes on with what it can use.
TEST(WaylandChoice, ASessionThatCannotBeDrivenIsNamedWithWhatIsMissing) {
  ChildProcess host(TOVEL_HOST_BINARY, {}, ChildProcess::Input::emptyFile,
                    {"WAYLAND_DISPLAY=tovel-nowhere", "DISPLAY=", "XDG_RUNTIME_DIR=/tmp",
                     "DBUS_SESSION_BUS_ADDRESS=unix:path=/tmp/tovel-no-bus"});
  ASSERT_EQ(host.waitForExit(30s), 0);
  std::string first = host.output().substr(0, host.output().find('\n'));
  EXPECT_EQ(first, "Using the built-in virtual desktop (1920x1080): this Wayland session cannot "
                   "be driven: neither GNOME's remote desktop (cannot connect to the session bus: "
                   "Could not connect: No such file or directory) nor the wlroots protocols "
                   "(cannot connect to the Wayland display tovel-nowhere: No such file or "
                   "directory), and no X display could be opened.");
}

} // namespace
} // namespace tovel::test

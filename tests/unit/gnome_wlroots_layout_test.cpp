#include <gtest/gtest.h>

#include <glib.h>

#include "common/number_format.h"
#include "platform/gnome/gnome_capture.h"
#include "platform/gnome/gnome_displays.h"
#include "platform/wlroots/wlroots_pointer.h"

namespace tovel {
namespace {

// A GetCurrentState reply in GVariant text form: two monitors, the second one turned a quarter,
// shown at a scale of 2, with the given layout mode.
std::string displayState(int layoutMode, bool secondPrimary) {
  auto monitor = [](const char* connector, int width, int height) {
    return std::string("(('") + connector + "', 'V', 'P', 'S'), [('m1', 1024, 768, 60.0, 1.0, " +
           "[1.0], {'is-current': <false>}), ('m2', " + std::to_string(width) + ", " +
           std::to_string(height) + ", 60.0, 1.0, [1.0, 2.0], {'is-current': <true>})], " +
           "{'display-name': <'x'>})";
  };
  std::string primary = secondPrimary ? "false" : "true", other = secondPrimary ? "true" : "false";
  return "(uint32 7, [" + monitor("DP-1", 1920, 1080) + ", " + monitor("HDMI-2", 2560, 1440) +
         "], [(0, 0, 1.0, uint32 0, " + primary + ", [('DP-1', 'V', 'P', 'S')], @a{sv} {}), " +
         "(1920, -100, 2.0, uint32 1, " + other + ", [('HDMI-2', 'V', 'P', 'S')], @a{sv} {})], " +
         "{'layout-mode': <uint32 " + std::to_string(layoutMode) + ">})";
}

// Each monitor as "HDMI-2 1920,-100 720x1280 x2.0 primary".
std::vector<std::string> parse(const std::string& text) {
  GError* error = nullptr;
  GVariant* state = g_variant_parse(nullptr, text.c_str(), nullptr, nullptr, &error);
  EXPECT_NE(state, nullptr) << (error ? error->message : "");
  g_clear_error(&error);
  std::vector<std::string> monitors;
  for (const GnomeMonitor& m : parseDisplayState(state ? g_variant_ref_sink(state) : nullptr))
    monitors.push_back(m.connector + " " + std::to_string(m.x) + "," + std::to_string(m.y) + " " +
                       std::to_string(m.width) + "x" + std::to_string(m.height) + " x" +
                       formatNumber(m.scale) + (m.primary ? " primary" : ""));
  if (state)
    g_variant_unref(state);
  return monitors;
}

// Sizes are divided by the scale in the logical layout mode (1), pixels as they are in the
// physical one (2); anything else, or a connector without a current mode, gives no monitors.
TEST(GnomeDisplayState, LogicalMonitorsTakeTheCurrentModeTurnedAndScaled) {
  EXPECT_EQ(parse(displayState(1, false)),
            (std::vector<std::string>{"DP-1 0,0 1920x1080 x1.0 primary",
                                      "HDMI-2 1920,-100 720x1280 x2.0"}));
  EXPECT_EQ(parse(displayState(2, false)),
            (std::vector<std::string>{"DP-1 0,0 1920x1080 x1.0 primary",
                                      "HDMI-2 1920,-100 1440x2560 x2.0"}));
  EXPECT_EQ(parse(displayState(1, true))[1], "HDMI-2 1920,-100 720x1280 x2.0 primary");

  EXPECT_TRUE(parseDisplayState(nullptr).empty());
  EXPECT_TRUE(parse("(uint32 1, 'not a state')").empty());
  std::string noMode = displayState(1, false);
  for (std::size_t at; (at = noMode.find("<true>")) != std::string::npos;)
    noMode.replace(at, 6, "<false>");
  EXPECT_TRUE(parse(noMode).empty());
}

// Growing fractional edges to whole pixels and refusing what holds none:
// X11Unmanaged.GrabsClippedRectanglesIntoOneKeptSegmentAndTellsWhatChanged. Here the far edges.
TEST(GnomeCapture, RectanglesClipToThePicturesFarEdges) {
  EXPECT_EQ(clipToPicture(Rect{1900, 1000, 100, 100}, 1920, 1080), (PixelRect{1900, 1000, 20, 80}));
  EXPECT_EQ(clipToPicture(Rect{0, 0, 1e300, 1e300}, 1920, 1080), (PixelRect{0, 0, 1920, 1080}));
}

// The host's record of the pointer stays on the layout as the compositor keeps its cursor there.
TEST(WlrootsPointer, MovesOffTheLayoutEndOnItsNearestPixel) {
  MonitorLayout layout;
  layout.monitors = {Monitor{1, 0, 0, 1920, 1080, true, "A"},
                     Monitor{2, 1920, 0, 1024, 768, false, "B"}};
  const Point cases[][3] = {// from, target, where it ends
                            {{100, 100}, {110.5, 90.25}, {110.5, 90.25}},
                            {{100, 100}, {-50, 2000}, {0, 1079}},
                            {{1900, 100}, {2000, 900}, {1919, 900}},
                            {{1900, 1000}, {2500, 1000}, {2500, 767}},
                            {{100, 100}, {1919.5, 1079.75}, {1919.5, 1079.75}},
                            {{1900, 100}, {3100, -5}, {2943, 0}}};
  for (auto [from, target, to] : cases) {
    PointerRecord record;
    record.placeAt(from);
    PointerRecord::Step step = record.step(layout, target);
    EXPECT_EQ(step.dx, PointerRecord::onTheWire(target.x - from.x));
    record.moved(step);
    EXPECT_EQ(record.position(), to) << target.x << "," << target.y;
  }
}

} // namespace
} // namespace tovel

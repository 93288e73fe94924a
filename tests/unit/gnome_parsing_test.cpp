#include <gtest/gtest.h>

#include <cmath>

#include <glib.h>

#include "platform/gnome/gnome_capture.h"
#include "platform/gnome/gnome_displays.h"

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
  std::string primary = secondPrimary ? "false" : "true";
  std::string other = secondPrimary ? "true" : "false";
  return "(uint32 7, [" + monitor("DP-1", 1920, 1080) + ", " + monitor("HDMI-2", 2560, 1440) +
         "], [(0, 0, 1.0, uint32 0, " + primary + ", [('DP-1', 'V', 'P', 'S')], @a{sv} {}), " +
         "(1920, -100, 2.0, uint32 1, " + other + ", [('HDMI-2', 'V', 'P', 'S')], @a{sv} {})], " +
         "{'layout-mode': <uint32 " + std::to_string(layoutMode) + ">})";
}

std::vector<GnomeMonitor> parse(const std::string& text) {
  GError* error = nullptr;
  GVariant* state = g_variant_parse(nullptr, text.c_str(), nullptr, nullptr, &error);
  EXPECT_NE(state, nullptr) << (error ? error->message : "");
  if (!state) {
    g_clear_error(&error);
    return {};
  }
  g_variant_ref_sink(state);
  std::vector<GnomeMonitor> monitors = parseDisplayState(state);
  g_variant_unref(state);
  return monitors;
}

TEST(GnomeDisplayState, LogicalMonitorsTakeTheCurrentModeTurnedAndScaled) {
  struct Case {
    int layoutMode;
    int turnedWidth, turnedHeight; // of the second, turned monitor
  } cases[] = {
      {1, 720, 1280},  // logical layout: sizes divided by the scale
      {2, 1440, 2560}, // physical layout: pixels as they are
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layoutMode);
    std::vector<GnomeMonitor> monitors = parse(displayState(c.layoutMode, false));
    ASSERT_EQ(monitors.size(), 2u);
    EXPECT_EQ(monitors[0].connector, "DP-1");
    EXPECT_EQ(std::tie(monitors[0].x, monitors[0].y, monitors[0].width, monitors[0].height),
              std::make_tuple(0, 0, 1920, 1080));
    EXPECT_TRUE(monitors[0].primary);
    EXPECT_EQ(monitors[1].connector, "HDMI-2");
    EXPECT_EQ(std::tie(monitors[1].x, monitors[1].y, monitors[1].width, monitors[1].height),
              std::make_tuple(1920, -100, c.turnedWidth, c.turnedHeight));
    EXPECT_EQ(monitors[1].scale, 2.0);
    EXPECT_FALSE(monitors[1].primary);
  }
  EXPECT_TRUE(parse(displayState(1, true))[1].primary);
}

TEST(GnomeDisplayState, AnythingElseGivesNoMonitors) {
  EXPECT_TRUE(parseDisplayState(nullptr).empty());
  EXPECT_TRUE(parse("(uint32 1, 'not a state')").empty());
  // A logical monitor whose connector reports no current mode is left out.
  std::string noMode = displayState(1, false);
  for (std::size_t at; (at = noMode.find("<true>")) != std::string::npos;)
    noMode.replace(at, 6, "<false>");
  EXPECT_TRUE(parse(noMode).empty());
}

TEST(GnomeCapture, RectanglesClipToWholePixelsOfThePicture) {
  struct Case {
    std::optional<Rect> rect;
    std::optional<PixelRect> expected;
  } cases[] = {
      {std::nullopt, PixelRect{0, 0, 1920, 1080}},
      {Rect{10.5, 20.25, 100, 50.5}, PixelRect{10, 20, 101, 51}},
      {Rect{-50, -50, 100, 100}, PixelRect{0, 0, 50, 50}},
      {Rect{1900, 1000, 100, 100}, PixelRect{1900, 1000, 20, 80}},
      {Rect{1920, 0, 10, 10}, std::nullopt},
      {Rect{0, 0, 0, 10}, std::nullopt},
      {Rect{std::nan(""), 0, 10, 10}, std::nullopt},
      {Rect{0, 0, 1e300, 1e300}, PixelRect{0, 0, 1920, 1080}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(clipToPicture(c.rect, 1920, 1080), c.expected);
}

} // namespace
} // namespace tovel

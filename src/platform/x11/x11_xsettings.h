#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

using Display = struct _XDisplay;

namespace tovel {

struct XSettingColour {
  std::uint16_t red = 0;
  std::uint16_t blue = 0;
  std::uint16_t green = 0;
  std::uint16_t alpha = 0;
  friend bool operator==(const XSettingColour&, const XSettingColour&) = default;
};

// One entry of an XSETTINGS manager's settings, e.g. "Net/DoubleClickTime" = 400.
struct XSetting {
  std::string name;
  std::uint32_t lastChangeSerial = 0;
  std::variant<std::int32_t, std::string, XSettingColour> value;
};

// The entries of an _XSETTINGS_SETTINGS property value, in order. The bytes come from another
// client, so nothing is trusted: reading stops at the first entry that is cut short or of an
// unknown type, and the entries before it are kept.
std::vector<XSetting> parseXSettings(const std::uint8_t* data, std::size_t size);

// The integer setting of that name, if present and an integer.
std::optional<std::int32_t> findXSettingInteger(const std::vector<XSetting>& settings,
                                                std::string_view name);

// The raw settings of the running settings manager of the default screen, none without one.
std::optional<std::vector<std::uint8_t>> readXSettings(Display* display);

} // namespace tovel

#include "platform/x11/x11_xsettings.h"

#include <X11/Xlib.h>

#include "platform/x11/x11_error_trap.h"
#include "platform/x11/x11_properties.h"

namespace tovel {

namespace {

enum : std::uint8_t { kIntegerSetting = 0, kStringSetting = 1, kColourSetting = 2 };

// Reads the blob front to back; every read checks the bytes left first.
class Reader {
public:
  Reader(const std::uint8_t* data, std::size_t size, bool bigEndian)
      : data_(data), size_(size), bigEndian_(bigEndian) {}

  bool skip(std::size_t count) {
    if (count > size_ - position_)
      return false;
    position_ += count;
    return true;
  }
  bool byte(std::uint8_t& out) {
    if (size_ - position_ < 1)
      return false;
    out = data_[position_++];
    return true;
  }
  bool card16(std::uint16_t& out) {
    std::uint32_t value;
    if (!number(2, value))
      return false;
    out = std::uint16_t(value);
    return true;
  }
  bool card32(std::uint32_t& out) { return number(4, out); }
  bool text(std::size_t length, std::string& out) {
    if (length > size_ - position_)
      return false;
    out.assign(reinterpret_cast<const char*>(data_ + position_), length);
    position_ += length;
    return true;
  }
  // Strings are padded to a multiple of four bytes.
  bool pad(std::size_t length) { return skip((4 - length % 4) % 4); }

private:
  bool number(std::size_t width, std::uint32_t& out) {
    if (width > size_ - position_)
      return false;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      std::size_t index = bigEndian_ ? i : width - 1 - i;
      value = (value << 8) | data_[position_ + index];
    }
    position_ += width;
    out = value;
    return true;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
  bool bigEndian_;
};

} // namespace

std::vector<XSetting> parseXSettings(const std::uint8_t* data, std::size_t size) {
  std::vector<XSetting> settings;
  if (!data || size < 12)
    return settings;
  // The first byte is the manager's byte order: LSBFirst (0) or MSBFirst (1).
  if (data[0] != LSBFirst && data[0] != MSBFirst)
    return settings;
  Reader reader(data, size, data[0] == MSBFirst);
  std::uint32_t serial = 0, count = 0;
  reader.skip(4);
  reader.card32(serial);
  reader.card32(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    XSetting setting;
    std::uint8_t type = 0;
    std::uint16_t nameLength = 0;
    if (!reader.byte(type) || !reader.skip(1) || !reader.card16(nameLength) ||
        !reader.text(nameLength, setting.name) || !reader.pad(nameLength) ||
        !reader.card32(setting.lastChangeSerial)) {
      break;
    }
    if (type == kIntegerSetting) {
      std::uint32_t value = 0;
      if (!reader.card32(value))
        break;
      setting.value = std::int32_t(value);
    } else if (type == kStringSetting) {
      std::uint32_t length = 0;
      std::string value;
      if (!reader.card32(length) || !reader.text(length, value) || !reader.pad(length))
        break;
      setting.value = std::move(value);
    } else if (type == kColourSetting) {
      XSettingColour colour;
      if (!reader.card16(colour.red) || !reader.card16(colour.blue) ||
          !reader.card16(colour.green) || !reader.card16(colour.alpha)) {
        break;
      }
      setting.value = colour;
    } else {
      break; // the size of an unknown type is unknown, so nothing after it can be read
    }
    settings.push_back(std::move(setting));
  }
  return settings;
}

std::optional<std::int32_t> findXSettingInteger(const std::vector<XSetting>& settings,
                                                std::string_view name) {
  for (const XSetting& setting : settings)
    if (setting.name == name)
      if (const auto* value = std::get_if<std::int32_t>(&setting.value))
        return *value;
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> readXSettings(Display* display) {
  if (!display)
    return std::nullopt;
  std::string selectionName = "_XSETTINGS_S" + std::to_string(DefaultScreen(display));
  Atom selection = XInternAtom(display, selectionName.c_str(), False);
  Atom property = XInternAtom(display, "_XSETTINGS_SETTINGS", False);
  Window owner = XGetSelectionOwner(display, selection);
  if (owner == None)
    return std::nullopt;
  // The manager may quit between the two requests.
  XErrorTrap trap(display);
  std::optional<WindowProperty> value = readProperty(display, owner, property, property);
  if (!value || value->format != 8)
    return std::nullopt;
  return std::move(value->bytes);
}

} // namespace tovel

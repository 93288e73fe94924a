#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/x11/x11_xsettings.h"

namespace tovel {
namespace {

// Writes a settings blob in either byte order, as a settings manager would.
struct Blob {
  explicit Blob(bool bigEndianOrder) : bigEndian(bigEndianOrder) {}

  bool bigEndian;
  std::uint32_t count = 0;
  std::vector<std::uint8_t> body;

  Blob& number(int width, std::uint32_t value) {
    for (int i = 0; i < width; ++i)
      body.push_back(std::uint8_t(value >> (bigEndian ? 8 * (width - 1 - i) : 8 * i)));
    return *this;
  }
  Blob& text(const std::string& value) {
    body.insert(body.end(), value.begin(), value.end());
    body.resize(body.size() + (4 - value.size() % 4) % 4, 0);
    return *this;
  }
  // Type, name and last-change serial; the value follows.
  Blob& entry(std::uint8_t type, const std::string& name) {
    body.insert(body.end(), {type, 0});
    return number(2, name.size()).text(name).number(4, ++count);
  }
  Blob& string(const std::string& name, const std::string& value) {
    return entry(1, name).number(4, value.size()).text(value);
  }
  std::vector<std::uint8_t> bytes(std::uint32_t claimedCount = 0) const {
    Blob head(bigEndian);
    head.body = {std::uint8_t(bigEndian ? 1 : 0), 0, 0, 0};
    head.number(4, 7).number(4, claimedCount ? claimedCount : count);
    head.body.insert(head.body.end(), body.begin(), body.end());
    return head.body;
  }
};

std::vector<XSetting> parse(const std::vector<std::uint8_t>& bytes) {
  return parseXSettings(bytes.data(), bytes.size());
}

TEST(XSettings, ReadsEveryTypeInBothByteOrdersAndFindsTheIntegers) {
  for (bool bigEndian : {false, true}) {
    Blob blob{bigEndian};
    blob.string("Net/ThemeName", "Adwaita").entry(2, "Gtk/Colour").number(2, 0x1234).number(2, 2);
    blob.number(2, 3).number(2, 0xffff).string("Gtk/FontName", "Sans 10!");
    blob.entry(0, "Net/DoubleClickTime").number(4, 250).entry(0, "Gtk/Negative").number(4, -3);
    std::vector<XSetting> settings = parse(blob.bytes());
    ASSERT_EQ(settings.size(), 5u) << bigEndian;
    EXPECT_EQ(std::get<std::string>(settings[0].value), "Adwaita");
    EXPECT_EQ(std::get<XSettingColour>(settings[1].value), (XSettingColour{0x1234, 2, 3, 0xffff}));
    EXPECT_EQ(std::get<std::string>(settings[2].value), "Sans 10!");
    EXPECT_EQ(settings[3].lastChangeSerial, 4u);
    EXPECT_EQ(findXSettingInteger(settings, "Net/DoubleClickTime"), 250);
    EXPECT_EQ(findXSettingInteger(settings, "Gtk/Negative"), -3);
    EXPECT_EQ(findXSettingInteger(settings, "Net/ThemeName"), std::nullopt); // not an integer
  }
}

TEST(XSettings, EveryTruncationKeepsOnlyTheWholeEntriesBeforeIt) {
  Blob blob{false};
  blob.string("Net/ThemeName", "Adwaita").entry(0, "Net/DoubleClickTime").number(4, 250);
  std::vector<std::uint8_t> whole = blob.bytes();
  std::size_t firstEnd = 12 + 4 + 16 + 4 + 4 + 8; // header; type, name, serial, length, value
  for (std::size_t size = 0; size <= whole.size(); ++size) {
    // Exactly that many bytes, so that a read past them is caught by the sanitizers.
    std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + long(size));
    std::size_t expected = size == whole.size() ? 2 : size >= firstEnd ? 1 : 0;
    EXPECT_EQ(parse(cut).size(), expected) << "size " << size;
  }
}

TEST(XSettings, LyingCountsLengthsAndTypesStopTheReading) {
  Blob two{true};
  two.entry(0, "A").number(4, 1).entry(0, "B").number(4, 2);
  EXPECT_EQ(parse(two.bytes(1000)).size(), 2u);
  std::vector<std::uint8_t> unknownType = two.bytes();
  unknownType[12 + 16] = 9; // the second entry's type
  EXPECT_EQ(parse(unknownType).size(), 1u);
  std::vector<std::uint8_t> badOrder = two.bytes();
  badOrder[0] = 'B';
  EXPECT_TRUE(parse(badOrder).empty());

  std::vector<std::uint8_t> hugeString = Blob{true}.string("S", "abcd").bytes();
  hugeString[12 + 12] = 0x7f; // value length 0x7f000004
  EXPECT_TRUE(parse(hugeString).empty());
}

} // namespace
} // namespace tovel

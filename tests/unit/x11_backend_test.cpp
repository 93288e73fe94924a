#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <cctype>
#include <limits>
#include <map>

#include "input/key_names.h"
#include "platform/x11/x11_key_watchdog.h"
#include "platform/x11/x11_keymap.h"
#include "platform/x11/x11_scroll.h"
#include "platform/x11/x11_xsettings.h"

namespace tovel {
namespace {

using namespace std::chrono_literals;

std::string keysymName(std::optional<KeySym> keysym) {
  const char* name = keysym ? XKeysymToString(*keysym) : nullptr;
  return name ? name : "?";
}

// The keysym a name must type where X has an obvious one: a printable character is its own
// keysym, "f5" is F5, "leftArrow" is Left.
std::optional<KeySym> obviousKeysym(std::string name) {
  if (name.size() == 1)
    return KeySym(static_cast<unsigned char>(name[0]));
  if (name.size() <= 3 && name[0] == 'f')
    return XStringToKeysym(("F" + name.substr(1)).c_str());
  if (!name.ends_with("Arrow"))
    return std::nullopt;
  name.resize(name.size() - 5);
  name[0] = char(std::toupper(name[0]));
  return XStringToKeysym(name.c_str());
}

TEST(X11Keymap, EveryKeyNameTypesAKeysymOfItsOwn) {
  std::map<KeySym, KeyCode> owners; // two codes on one keysym would leave one key unreachable
  int obvious = 0;
  for (const auto& [name, code] : keyNameToKeyCode()) {
    auto keysym = keysymForKeyCode(code);
    ASSERT_TRUE(keysym && *keysym != NoSymbol) << name;
    if (auto expected = obviousKeysym(name)) {
      ++obvious;
      EXPECT_EQ(keysymName(keysym), keysymName(expected)) << name;
    }
    auto [it, inserted] = owners.emplace(*keysym, code);
    EXPECT_TRUE(inserted || it->second == code) << name << " shares " << keysymName(keysym);
  }
  EXPECT_EQ(obvious, 26 + 10 + 11 + 20 + 4);
  EXPECT_FALSE(keysymForKeyCode(65).has_value()); // a code the key table does not use
  // Left and right modifiers are distinct keys of one kind; X names the sides _L and _R.
  for (std::string kind : {"Shift", "Control", "Option", "Command"}) {
    std::string left = char(std::tolower(kind[0])) + kind.substr(1);
    std::string l = keysymName(keysymForKeyCode(*lookupKeyName(left)));
    std::string r = keysymName(keysymForKeyCode(*lookupKeyName("right" + kind)));
    EXPECT_TRUE(l.ends_with("_L") && r.ends_with("_R")) << l << " " << r;
    EXPECT_EQ(l.substr(0, l.size() - 2), r.substr(0, r.size() - 2));
  }
}

// A keysym is typed by the first keycode that has it in the unmodified column; a spare keycode
// is one empty in every column, the highest first.
TEST(X11Keymap, KeycodesComeFromTheUnmodifiedColumnAndSpareOnesAreEmptyInEveryColumn) {
  CoreKeymap map; // keycodes 8 to 12, two columns each; 11 types Hyper_L only with shift
  map.keysymsPerKeycode = 2;
  map.keysyms = {NoSymbol, NoSymbol, XK_a, XK_A, XK_1, XK_exclam, NoSymbol, XK_Hyper_L, 0, 0};
  EXPECT_EQ(findKeycode(map, XK_a), 9);
  EXPECT_EQ(findKeycode(map, XK_1), 10);
  for (KeySym shifted : {KeySym(XK_exclam), KeySym(XK_Hyper_L), KeySym(NoSymbol)})
    EXPECT_EQ(findKeycode(map, shifted), std::nullopt) << shifted;
  EXPECT_EQ(findSpareKeycode(map), 12);
  map.keysyms[2 * 4] = XK_a; // keycode 12 types "a" too: the first one is used, and 12 is taken
  EXPECT_EQ(findKeycode(map, XK_a), 9);
  EXPECT_EQ(findSpareKeycode(map), 8);
  map.keysyms[2 * 4] = NoSymbol;
  map.keysyms[2 * 4 + 1] = XK_F13; // only the second column of 12 is bound: still taken
  EXPECT_EQ(findSpareKeycode(map), 8);
  map.keysyms[0] = XK_F14;
  EXPECT_EQ(findSpareKeycode(map), std::nullopt);
  EXPECT_EQ(findSpareKeycode(CoreKeymap{}), std::nullopt);
}

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
    head.body = {std::uint8_t(bigEndian), 0, 0, 0};
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

TEST(XSettings, TruncationsAndLyingCountsLengthsAndTypesKeepOnlyTheWholeEntriesBeforeThem) {
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

  Blob two{true};
  two.entry(0, "A").number(4, 1).entry(0, "B").number(4, 2);
  EXPECT_EQ(parse(two.bytes(1000)).size(), 2u);
  std::vector<std::uint8_t> unknownType = two.bytes(), badOrder = two.bytes();
  unknownType[12 + 16] = 9; // the second entry's type
  EXPECT_EQ(parse(unknownType).size(), 1u);
  badOrder[0] = 'B';
  EXPECT_TRUE(parse(badOrder).empty());
  std::vector<std::uint8_t> hugeString = Blob{true}.string("S", "abcd").bytes();
  hugeString[12 + 12] = 0x7f; // value length 0x7f000004
  EXPECT_TRUE(parse(hugeString).empty());
}

TEST(WheelNotches, WholeNotchesGoOutTheRestIsCarriedAndHugeAmountsAreCapped) {
  const int notch = int(kPixelsPerNotch), cap = kMaxNotchesPerEvent;
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  // Amounts fed one after the other, as the backend does, and the notches of each.
  const std::pair<std::vector<std::int32_t>, std::vector<int>> cases[] = {
      {{1, notch - 2, 0, 1, notch - 1, 1}, {0, 0, 0, 1, 0, 1}},
      {{-(notch - 1), -1, -(2 * notch + notch / 2), -(notch / 2)}, {0, -1, -2, -1}},
      // Turning back drops the other direction's rest: the first notch backwards is not late.
      {{notch - 1, -notch}, {0, -1}},
      {{-(notch - 1), notch}, {0, 1}},
      // Beyond the cap the excess is dropped, not carried; exactly at the cap nothing is lost.
      {{max, notch - 1}, {cap, 0}},
      {{-max - 1, -notch}, {-cap, -1}},
      {{cap * notch + 1, notch - 1}, {cap, 1}},
  };
  for (const auto& [amounts, expected] : cases) {
    std::vector<int> notches;
    double carried = 0;
    for (std::int32_t pixels : amounts) {
      NotchStep step = wheelNotches(carried, pixels);
      notches.push_back(step.notches);
      carried = step.remainder;
    }
    EXPECT_EQ(notches, expected) << testing::PrintToString(amounts);
  }
}

TEST(HeldKeys, KeysComeDueAtTheirDeadlineOnlyOnceAndNotAfterARelease) {
  constexpr KeyCode kShift = 56, kCommand = 55, kA = 0;
  const HeldKeys::TimePoint t0{};
  HeldKeys keys;
  keys.press(kShift, 50, t0 + 15s);
  keys.press(kCommand, 133, t0 + 17s);
  keys.press(kA, 38, t0 + 16s);
  keys.press(kShift, 50, t0 + 18s); // a later press moves its deadline
  EXPECT_EQ(keys.nextDeadline(), t0 + 16s);

  EXPECT_TRUE(keys.takeDue(t0 + 16s - 1ns).empty());
  auto due = keys.takeDue(t0 + 17s);
  ASSERT_EQ(due.size(), 2u);
  EXPECT_TRUE(due[0].key == kCommand && due[0].keycode == 133 && due[1].key == kA);
  EXPECT_TRUE(keys.takeDue(t0 + 17s).empty());
  EXPECT_EQ(keys.nextDeadline(), t0 + 18s);

  keys.press(kA, 38, t0 + 30s);
  EXPECT_EQ(keys.release(kShift), 50);
  EXPECT_TRUE(keys.takeDue(t0 + 29s).empty());
  EXPECT_EQ(keys.takeAll().size(), 1u);
  EXPECT_EQ(keys.nextDeadline(), std::nullopt);
}

} // namespace
} // namespace tovel

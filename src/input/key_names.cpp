#include "input/key_names.h"

namespace tovel {

const std::unordered_map<std::string, KeyCode>& keyNameToKeyCode() {
  // Built on first use; static initialisation is thread-safe.
  static const std::unordered_map<std::string, KeyCode> table{
      {"leftControl", keycode::leftControl},
      {"leftArrow", keycode::leftArrow},
      {"rightArrow", keycode::rightArrow},
      {"upArrow", keycode::upArrow},
      {"downArrow", keycode::downArrow},
      // Letters
      {"a", 0},
      {"b", 11},
      {"c", 8},
      {"d", 2},
      {"e", 14},
      {"f", 3},
      {"g", 5},
      {"h", 4},
      {"i", 34},
      {"j", 38},
      {"k", 40},
      {"l", 37},
      {"m", 46},
      {"n", 45},
      {"o", 31},
      {"p", 35},
      {"q", 12},
      {"r", 15},
      {"s", 1},
      {"t", 17},
      {"u", 32},
      {"v", 9},
      {"w", 13},
      {"x", 7},
      {"y", 16},
      {"z", 6},
      // Digits
      {"1", 18},
      {"2", 19},
      {"3", 20},
      {"4", 21},
      {"5", 23},
      {"6", 22},
      {"7", 26},
      {"8", 28},
      {"9", 25},
      {"0", 29},
      // Editing keys and modifiers
      {"space", 49},
      {"return", 36},
      {"escape", 53},
      {"delete", 51},
      {"tab", 48},
      {"shift", keycode::shift},
      {"capsLock", 57},
      {"command", keycode::command},
      {"rightCommand", keycode::rightCommand},
      {"option", keycode::option},
      {"control", keycode::control},
      {"rightShift", keycode::rightShift},
      {"rightOption", keycode::rightOption},
      {"rightControl", keycode::rightControl},
      {"function", 63},
      // Function keys
      {"f1", 122},
      {"f2", 120},
      {"f3", 99},
      {"f4", 118},
      {"f5", 96},
      {"f6", 97},
      {"f7", 98},
      {"f8", 100},
      {"f9", 101},
      {"f10", 109},
      {"f11", 103},
      {"f12", 111},
      {"f13", 105},
      {"f14", 107},
      {"f15", 113},
      {"f16", 106},
      {"f17", 64},
      {"f18", 79},
      {"f19", 80},
      {"f20", 90},
      // Punctuation
      {"`", 50},
      {"-", 27},
      {"=", 24},
      {"[", 33},
      {"]", 30},
      {"\\", 42},
      {";", 41},
      {"'", 39},
      {",", 43},
      {".", 47},
      {"/", 44},
  };
  return table;
}

std::optional<KeyCode> lookupKeyName(std::string_view name) {
  const auto& table = keyNameToKeyCode();
  auto it = table.find(std::string(name));
  if (it == table.end())
    return std::nullopt;
  return it->second;
}

} // namespace tovel

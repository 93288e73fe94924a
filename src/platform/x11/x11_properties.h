#pragma once

#include <X11/Xlib.h>

#include <optional>
#include <string>
#include <vector>

namespace tovel {

// A window property as stored on the server: its type, its format (8, 16 or 32) and its items.
// Items of format 32 are held as unsigned long, as Xlib hands them out.
struct WindowProperty {
  Atom type = None;
  int format = 0;
  std::vector<unsigned char> bytes; // format 8
  std::vector<unsigned long> longs; // format 16 and 32
};

// Longer values are not titles or window lists anyone needs whole: 4 MiB.
constexpr long kMaxPropertyLongs = 1 << 20;

// The property, or none when it is missing or the window is gone (run inside an XErrorTrap).
std::optional<WindowProperty> readProperty(Display* display, Window window, Atom property,
                                           Atom type = AnyPropertyType);

// Format-32 items of the given type (windows, atoms, cardinals); empty when missing.
std::vector<unsigned long> readLongs(Display* display, Window window, Atom property, Atom type);
std::optional<Window> readWindow(Display* display, Window window, Atom property);

// A title-like text as UTF-8: _NET_WM_NAME-style UTF8_STRING, or a legacy STRING (Latin-1).
std::optional<std::string> readText(Display* display, Window window, Atom property);
// The same for a property already read (of any type); none unless it is of format 8.
std::optional<std::string> decodeText(Display* display, WindowProperty value);

} // namespace tovel

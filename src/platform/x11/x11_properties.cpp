#include "platform/x11/x11_properties.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

namespace tovel {

namespace {

std::string latin1ToUtf8(const std::vector<unsigned char>& bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      text += char(c);
    } else {
      text += char(0xc0 | (c >> 6));
      text += char(0x80 | (c & 0x3f));
    }
  }
  return text;
}

} // namespace

std::optional<WindowProperty> readProperty(Display* display, Window window, Atom property,
                                           Atom type) {
  if (!display || window == None || property == None)
    return std::nullopt;
  Atom actualType = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, property, 0, kMaxPropertyLongs, False, type, &actualType,
                         &format, &count, &after, &data) != Success) {
    return std::nullopt;
  }
  std::optional<WindowProperty> result;
  // A property of another type than asked comes back without data; an empty one is still there.
  if (actualType != None && (type == AnyPropertyType || actualType == type)) {
    result.emplace();
    result->type = actualType;
    result->format = format;
    if (!data)
      count = 0;
    if (format == 8) {
      result->bytes.assign(data, data + count);
    } else if (format == 16) {
      auto* items = reinterpret_cast<const unsigned short*>(data);
      result->longs.assign(items, items + count);
    } else if (format == 32) {
      auto* items = reinterpret_cast<const unsigned long*>(data);
      result->longs.assign(items, items + count);
    }
  }
  if (data)
    XFree(data);
  return result;
}

std::vector<unsigned long> readLongs(Display* display, Window window, Atom property, Atom type) {
  std::optional<WindowProperty> value = readProperty(display, window, property, type);
  if (!value || value->format != 32)
    return {};
  return std::move(value->longs);
}

std::optional<Window> readWindow(Display* display, Window window, Atom property) {
  std::vector<unsigned long> items = readLongs(display, window, property, XA_WINDOW);
  if (items.empty() || items.front() == None)
    return std::nullopt;
  return Window(items.front());
}

std::optional<std::string> readText(Display* display, Window window, Atom property) {
  std::optional<WindowProperty> value = readProperty(display, window, property);
  if (!value)
    return std::nullopt;
  return decodeText(display, std::move(*value));
}

std::optional<std::string> decodeText(Display* display, WindowProperty value) {
  if (value.format != 8)
    return std::nullopt;
  // Legacy texts may hold several NUL-separated strings; the first is the title.
  for (std::size_t i = 0; i < value.bytes.size(); ++i) {
    if (value.bytes[i] == 0) {
      value.bytes.resize(i);
      break;
    }
  }
  if (value.type == XA_STRING)
    return latin1ToUtf8(value.bytes);
  if (value.type == XInternAtom(display, "COMPOUND_TEXT", False)) {
    // Compound text needs the locale's converters; when they give nothing, the ASCII part is
    // still the best title there is.
    XTextProperty compound{value.bytes.data(), value.type, 8, value.bytes.size()};
    char** list = nullptr;
    int count = 0;
    if (Xutf8TextPropertyToTextList(display, &compound, &list, &count) >= Success && list &&
        count > 0) {
      std::string text = list[0];
      XFreeStringList(list);
      return text;
    }
    if (list)
      XFreeStringList(list);
  }
  // UTF8_STRING and anything else: the bytes as they are.
  return std::string(value.bytes.begin(), value.bytes.end());
}

} // namespace tovel

#include "platform/x11/x11_screens.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <iterator>

#include "platform/x11/x11_error_trap.h"
#include "platform/x11/x11_monitors.h"
#include "platform/x11/x11_properties.h"

namespace tovel {

namespace {

// Layers follow the usual stacking bands: ordinary windows 0, floating panels 3, docks 20,
// pop-up menus 101, drags 500, and the desktop below everything.
constexpr std::int64_t kDesktopLayer = -2147483624;
constexpr std::int64_t kNormalLayer = 0;
constexpr std::int64_t kFloatingLayer = 3;
constexpr std::int64_t kDockLayer = 20;
constexpr std::int64_t kPopUpLayer = 101;
constexpr std::int64_t kDraggingLayer = 500;

enum AtomIndex {
  kSupportingWmCheck,
  kClientListStacking,
  kClientList,
  kWmName,
  kFrameExtents,
  kWmState,
  kStateHidden,
  kStateAbove,
  kWindowType,
  kTypeDesktop,
  kTypeDock,
  kTypeToolbar,
  kTypeMenu,
  kTypeUtility,
  kTypeSplash,
  kTypeDialog,
  kTypeDropdownMenu,
  kTypePopupMenu,
  kTypeTooltip,
  kTypeNotification,
  kTypeCombo,
  kTypeDnd,
  kTypeNormal,
  kAtomCount
};

const char* const kAtomNames[kAtomCount] = {
    "_NET_SUPPORTING_WM_CHECK",
    "_NET_CLIENT_LIST_STACKING",
    "_NET_CLIENT_LIST",
    "_NET_WM_NAME",
    "_NET_FRAME_EXTENTS",
    "_NET_WM_STATE",
    "_NET_WM_STATE_HIDDEN",
    "_NET_WM_STATE_ABOVE",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_DESKTOP",
    "_NET_WM_WINDOW_TYPE_DOCK",
    "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_MENU",
    "_NET_WM_WINDOW_TYPE_UTILITY",
    "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
    "_NET_WM_WINDOW_TYPE_POPUP_MENU",
    "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION",
    "_NET_WM_WINDOW_TYPE_COMBO",
    "_NET_WM_WINDOW_TYPE_DND",
    "_NET_WM_WINDOW_TYPE_NORMAL",
};

struct Atoms {
  Atom atoms[kAtomCount] = {};
  Atom operator[](AtomIndex index) const { return atoms[index]; }
};

// Xlib keeps interned atoms, so after the first list this costs no round trip.
Atoms internAtoms(Display* display) {
  Atoms result;
  XInternAtoms(display, const_cast<char**>(kAtomNames), kAtomCount, False, result.atoms);
  return result;
}

struct ListContext {
  Display* display;
  Window root;
  Atoms atoms;
  MonitorLayout layout;
  WindowListOption option;
};

bool contains(const std::vector<unsigned long>& items, Atom atom) {
  return std::find(items.begin(), items.end(), atom) != items.end();
}

// The layer of a window by its EWMH type (the first type it lists that is known counts) and its
// "above" state.
std::int64_t layerFor(const Atoms& atoms, const std::vector<unsigned long>& types,
                      const std::vector<unsigned long>& states) {
  for (unsigned long type : types) {
    if (type == atoms[kTypeDesktop])
      return kDesktopLayer;
    if (type == atoms[kTypeDock])
      return kDockLayer;
    if (type == atoms[kTypeToolbar] || type == atoms[kTypeMenu])
      return kFloatingLayer;
    if (type == atoms[kTypeDropdownMenu] || type == atoms[kTypePopupMenu] ||
        type == atoms[kTypeTooltip] || type == atoms[kTypeNotification] ||
        type == atoms[kTypeCombo])
      return kPopUpLayer;
    if (type == atoms[kTypeDnd])
      return kDraggingLayer;
    if (type == atoms[kTypeNormal] || type == atoms[kTypeDialog] || type == atoms[kTypeUtility] ||
        type == atoms[kTypeSplash])
      break;
  }
  return contains(states, atoms[kStateAbove]) ? kFloatingLayer : kNormalLayer;
}

// WM_CLASS holds the instance name and the class name, each ending in a NUL; the class names the
// application ("Firefox"), the instance is the next best thing.
std::optional<std::string> ownerName(Display* display, Window window) {
  std::optional<WindowProperty> value = readProperty(display, window, XA_WM_CLASS, XA_STRING);
  if (!value || value->format != 8)
    return std::nullopt;
  const std::vector<unsigned char>& bytes = value->bytes;
  auto nul = std::find(bytes.begin(), bytes.end(), 0);
  std::string instance(bytes.begin(), nul);
  std::string className;
  if (nul != bytes.end())
    className.assign(std::next(nul), std::find(std::next(nul), bytes.end(), 0));
  if (!className.empty())
    return className;
  if (!instance.empty())
    return instance;
  return std::nullopt;
}

std::optional<std::string> title(const ListContext& context, Window window) {
  if (std::optional<std::string> name = readText(context.display, window, context.atoms[kWmName]))
    return name;
  return readText(context.display, window, XA_WM_NAME);
}

// A managed window's frame on the root: the client's outer rectangle grown by the decorations
// the window manager reports.
std::optional<Rect> managedBounds(const ListContext& context, Window window,
                                  const XWindowAttributes& attributes) {
  int rootX = 0, rootY = 0;
  Window child = None;
  int border = attributes.border_width;
  if (!XTranslateCoordinates(context.display, window, context.root, -border, -border, &rootX,
                             &rootY, &child)) {
    return std::nullopt;
  }
  double left = 0, right = 0, top = 0, bottom = 0;
  std::vector<unsigned long> extents =
      readLongs(context.display, window, context.atoms[kFrameExtents], XA_CARDINAL);
  if (extents.size() >= 4) {
    left = double(extents[0]);
    right = double(extents[1]);
    top = double(extents[2]);
    bottom = double(extents[3]);
  }
  Point origin = context.layout.rootToGlobal(rootX - left, rootY - top);
  return Rect{origin.x, origin.y, attributes.width + 2.0 * border + left + right,
              attributes.height + 2.0 * border + top + bottom};
}

std::optional<WindowInfo> describeManaged(const ListContext& context, Window window) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(context.display, window, &attributes))
    return std::nullopt; // gone
  bool onScreenOnly = context.option == WindowListOption::onScreenOnlyExcludingDesktop;
  std::vector<unsigned long> states =
      readLongs(context.display, window, context.atoms[kWmState], XA_ATOM);
  // Minimised windows and those on other workspaces are unmapped by the window manager; some
  // managers keep minimised ones mapped and only mark them hidden.
  if (onScreenOnly &&
      (attributes.map_state != IsViewable || contains(states, context.atoms[kStateHidden])))
    return std::nullopt;
  std::vector<unsigned long> types =
      readLongs(context.display, window, context.atoms[kWindowType], XA_ATOM);
  std::int64_t layer = layerFor(context.atoms, types, states);
  if (onScreenOnly && layer == kDesktopLayer)
    return std::nullopt;
  std::optional<Rect> bounds = managedBounds(context, window, attributes);
  if (!bounds)
    return std::nullopt;
  WindowInfo info;
  info.number = WindowId(window);
  info.bounds = bounds;
  info.layer = layer;
  info.ownerName = ownerName(context.display, window);
  info.title = title(context, window);
  return info;
}

// Without a window manager the root's children are the windows, placed by their own geometry.
std::optional<WindowInfo> describeUnmanaged(const ListContext& context, Window window) {
  XWindowAttributes attributes;
  if (!XGetWindowAttributes(context.display, window, &attributes))
    return std::nullopt;
  // Input-only windows have nothing to show.
  if (attributes.c_class == InputOnly)
    return std::nullopt;
  bool onScreenOnly = context.option == WindowListOption::onScreenOnlyExcludingDesktop;
  if (onScreenOnly && attributes.map_state == IsUnmapped)
    return std::nullopt;
  std::int64_t layer = kPopUpLayer;
  if (!attributes.override_redirect) {
    std::vector<unsigned long> types =
        readLongs(context.display, window, context.atoms[kWindowType], XA_ATOM);
    layer = layerFor(context.atoms, types, {});
  }
  if (onScreenOnly && layer == kDesktopLayer)
    return std::nullopt;
  Point origin = context.layout.rootToGlobal(attributes.x, attributes.y);
  WindowInfo info;
  info.number = WindowId(window);
  info.bounds = Rect{origin.x, origin.y, attributes.width + 2.0 * attributes.border_width,
                     attributes.height + 2.0 * attributes.border_width};
  info.layer = layer;
  info.ownerName = ownerName(context.display, window);
  info.title = title(context, window);
  return info;
}

// A window manager announces itself with a check window that names itself; a check window left
// behind by one that has quit is gone or no longer does.
bool windowManagerRuns(const ListContext& context) {
  std::optional<Window> check =
      readWindow(context.display, context.root, context.atoms[kSupportingWmCheck]);
  return check && readWindow(context.display, *check, context.atoms[kSupportingWmCheck]) == *check;
}

// Bottom to top, as both the stacking list and XQueryTree give them.
std::optional<std::vector<Window>> managedWindows(const ListContext& context) {
  for (AtomIndex list : {kClientListStacking, kClientList}) {
    std::optional<WindowProperty> value =
        readProperty(context.display, context.root, context.atoms[list], XA_WINDOW);
    if (value && value->format == 32)
      return std::vector<Window>(value->longs.begin(), value->longs.end());
  }
  return std::nullopt;
}

std::optional<std::vector<Window>> rootChildren(const ListContext& context) {
  Window root = None, parent = None;
  Window* children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(context.display, context.root, &root, &parent, &children, &count))
    return std::nullopt;
  std::vector<Window> windows(children, children + count);
  if (children)
    XFree(children);
  return windows;
}

} // namespace

X11Windows::X11Windows(ThreadConnections& connections) : connections_(connections) {}

X11Windows::~X11Windows() = default;

std::optional<std::vector<WindowInfo>> X11Windows::windowList(WindowListOption option) {
  Display* display = connections_.forThisThread();
  if (!display)
    return std::nullopt;
  ListContext context{display, DefaultRootWindow(display), internAtoms(display),
                      queryMonitors(display), option};
  // Windows come and go while they are looked at; a request about one that is gone just fails.
  XErrorTrap trap(display);
  bool managed = windowManagerRuns(context);
  std::optional<std::vector<Window>> windows;
  if (managed)
    windows = managedWindows(context);
  if (!windows) {
    managed = false;
    windows = rootChildren(context);
  }
  if (!windows)
    return std::nullopt;
  std::vector<WindowInfo> list;
  for (auto it = windows->rbegin(); it != windows->rend(); ++it) {
    std::optional<WindowInfo> info =
        managed ? describeManaged(context, *it) : describeUnmanaged(context, *it);
    if (info)
      list.push_back(std::move(*info));
  }
  return list;
}

} // namespace tovel

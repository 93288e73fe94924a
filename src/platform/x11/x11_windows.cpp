#include "platform/x11/x11_screens.h"

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <memory>

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
  xcb_connection_t* connection;
  xcb_window_t root;
  Atoms atoms;
  MonitorLayout layout;
  WindowListOption option;
};

struct FreeReply {
  void operator()(void* reply) const { std::free(reply); }
};
template <class T> using Reply = std::unique_ptr<T, FreeReply>;

// The reply, or null when the request failed: a window that is gone by the time the server reads
// the request. The error is dropped here, so it never reaches Xlib's error handler.
template <class Cookie, class T>
Reply<T> takeReply(xcb_connection_t* connection, Cookie cookie,
                   T* (*replyOf)(xcb_connection_t*, Cookie, xcb_generic_error_t**)) {
  xcb_generic_error_t* error = nullptr;
  Reply<T> reply(replyOf(connection, cookie, &error));
  std::free(error);
  return reply;
}

xcb_get_property_cookie_t requestProperty(const ListContext& context, xcb_window_t window,
                                          Atom property, Atom type = AnyPropertyType) {
  return xcb_get_property(context.connection, 0, window, xcb_atom_t(property), xcb_atom_t(type), 0,
                          std::uint32_t(kMaxPropertyLongs));
}

// What readProperty gives for the same request: none when the window is gone, the property is
// missing or it is of another type than asked.
std::optional<WindowProperty> propertyOf(const xcb_get_property_reply_t* reply, Atom type) {
  if (!reply || reply->type == XCB_NONE || (type != AnyPropertyType && reply->type != type))
    return std::nullopt;
  WindowProperty result;
  result.type = reply->type;
  result.format = reply->format;
  const void* data = xcb_get_property_value(reply);
  std::uint32_t count = reply->value_len;
  if (reply->format == 8) {
    auto* items = static_cast<const unsigned char*>(data);
    result.bytes.assign(items, items + count);
  } else if (reply->format == 16) {
    auto* items = static_cast<const std::uint16_t*>(data);
    result.longs.assign(items, items + count);
  } else if (reply->format == 32) {
    auto* items = static_cast<const std::uint32_t*>(data);
    result.longs.assign(items, items + count);
  }
  return result;
}

std::vector<unsigned long> longsOf(const xcb_get_property_reply_t* reply, Atom type) {
  std::optional<WindowProperty> value = propertyOf(reply, type);
  if (!value || value->format != 32)
    return {};
  return std::move(value->longs);
}

std::optional<Window> windowOf(const xcb_get_property_reply_t* reply) {
  std::vector<unsigned long> items = longsOf(reply, XA_WINDOW);
  if (items.empty() || items.front() == None)
    return std::nullopt;
  return Window(items.front());
}

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
std::optional<std::string> ownerName(const xcb_get_property_reply_t* wmClass) {
  std::optional<WindowProperty> value = propertyOf(wmClass, XA_STRING);
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

std::optional<std::string> title(const ListContext& context,
                                 const xcb_get_property_reply_t* netName,
                                 const xcb_get_property_reply_t* name) {
  for (const xcb_get_property_reply_t* reply : {netName, name}) {
    std::optional<WindowProperty> value = propertyOf(reply, AnyPropertyType);
    if (std::optional<std::string> text =
            value ? decodeText(context.display, std::move(*value)) : std::nullopt)
      return text;
  }
  return std::nullopt;
}

// Every question about one window, asked before any answer is awaited so that the whole list
// costs one round trip. Managed windows also need their place on the root, their state and their
// decorations; without a window manager the geometry says where a window is.
struct WindowRequests {
  xcb_window_t window;
  xcb_get_window_attributes_cookie_t attributes;
  xcb_get_geometry_cookie_t geometry;
  xcb_translate_coordinates_cookie_t origin;
  xcb_get_property_cookie_t state, frameExtents;
  xcb_get_property_cookie_t type, wmClass, netName, name;
};

WindowRequests sendRequests(const ListContext& context, xcb_window_t window, bool managed) {
  WindowRequests requests{};
  requests.window = window;
  requests.attributes = xcb_get_window_attributes(context.connection, window);
  requests.geometry = xcb_get_geometry(context.connection, window);
  if (managed) {
    requests.origin = xcb_translate_coordinates(context.connection, window, context.root, 0, 0);
    requests.state = requestProperty(context, window, context.atoms[kWmState], XA_ATOM);
    requests.frameExtents =
        requestProperty(context, window, context.atoms[kFrameExtents], XA_CARDINAL);
  }
  requests.type = requestProperty(context, window, context.atoms[kWindowType], XA_ATOM);
  requests.wmClass = requestProperty(context, window, XA_WM_CLASS, XA_STRING);
  requests.netName = requestProperty(context, window, context.atoms[kWmName]);
  requests.name = requestProperty(context, window, XA_WM_NAME);
  return requests;
}

struct WindowReplies {
  Reply<xcb_get_window_attributes_reply_t> attributes;
  Reply<xcb_get_geometry_reply_t> geometry;
  Reply<xcb_translate_coordinates_reply_t> origin;
  Reply<xcb_get_property_reply_t> state, frameExtents;
  Reply<xcb_get_property_reply_t> type, wmClass, netName, name;
};

// The replies, or none when any request failed: the window went away while it was looked at, and
// what was learnt about it before may be half a window.
std::optional<WindowReplies> takeReplies(const ListContext& context, const WindowRequests& requests,
                                         bool managed) {
  xcb_connection_t* c = context.connection;
  WindowReplies replies;
  bool failed = false;
  auto take = [&](auto cookie, auto replyOf, auto& into) {
    into = takeReply(c, cookie, replyOf);
    failed = failed || !into;
  };
  take(requests.attributes, xcb_get_window_attributes_reply, replies.attributes);
  take(requests.geometry, xcb_get_geometry_reply, replies.geometry);
  if (managed) {
    take(requests.origin, xcb_translate_coordinates_reply, replies.origin);
    take(requests.state, xcb_get_property_reply, replies.state);
    take(requests.frameExtents, xcb_get_property_reply, replies.frameExtents);
  }
  take(requests.type, xcb_get_property_reply, replies.type);
  take(requests.wmClass, xcb_get_property_reply, replies.wmClass);
  take(requests.netName, xcb_get_property_reply, replies.netName);
  take(requests.name, xcb_get_property_reply, replies.name);
  if (failed)
    return std::nullopt;
  return replies;
}

// A managed window's frame on the root: the client's outer rectangle grown by the decorations
// the window manager reports.
std::optional<Rect> managedBounds(const ListContext& context, const WindowReplies& replies) {
  const xcb_get_geometry_reply_t& geometry = *replies.geometry;
  if (!replies.origin->same_screen)
    return std::nullopt;
  int border = geometry.border_width;
  // The client area's origin on the root, less the border.
  int rootX = replies.origin->dst_x - border;
  int rootY = replies.origin->dst_y - border;
  double left = 0, right = 0, top = 0, bottom = 0;
  std::vector<unsigned long> extents = longsOf(replies.frameExtents.get(), XA_CARDINAL);
  if (extents.size() >= 4) {
    left = double(extents[0]);
    right = double(extents[1]);
    top = double(extents[2]);
    bottom = double(extents[3]);
  }
  Point origin = context.layout.rootToGlobal(rootX - left, rootY - top);
  return Rect{origin.x, origin.y, geometry.width + 2.0 * border + left + right,
              geometry.height + 2.0 * border + top + bottom};
}

std::optional<WindowInfo> describeManaged(const ListContext& context, xcb_window_t window,
                                          const WindowReplies& replies) {
  bool onScreenOnly = context.option == WindowListOption::onScreenOnlyExcludingDesktop;
  std::vector<unsigned long> states = longsOf(replies.state.get(), XA_ATOM);
  // Minimised windows and those on other workspaces are unmapped by the window manager; some
  // managers keep minimised ones mapped and only mark them hidden.
  if (onScreenOnly && (replies.attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
                       contains(states, context.atoms[kStateHidden])))
    return std::nullopt;
  std::int64_t layer = layerFor(context.atoms, longsOf(replies.type.get(), XA_ATOM), states);
  if (onScreenOnly && layer == kDesktopLayer)
    return std::nullopt;
  std::optional<Rect> bounds = managedBounds(context, replies);
  if (!bounds)
    return std::nullopt;
  WindowInfo info;
  info.number = WindowId(window);
  info.bounds = bounds;
  info.layer = layer;
  info.ownerName = ownerName(replies.wmClass.get());
  info.title = title(context, replies.netName.get(), replies.name.get());
  return info;
}

// Without a window manager the root's children are the windows, placed by their own geometry.
std::optional<WindowInfo> describeUnmanaged(const ListContext& context, xcb_window_t window,
                                            const WindowReplies& replies) {
  const xcb_get_window_attributes_reply_t& attributes = *replies.attributes;
  const xcb_get_geometry_reply_t& geometry = *replies.geometry;
  // Input-only windows have nothing to show.
  if (attributes._class == XCB_WINDOW_CLASS_INPUT_ONLY)
    return std::nullopt;
  bool onScreenOnly = context.option == WindowListOption::onScreenOnlyExcludingDesktop;
  if (onScreenOnly && attributes.map_state == XCB_MAP_STATE_UNMAPPED)
    return std::nullopt;
  std::int64_t layer = kPopUpLayer;
  if (!attributes.override_redirect)
    layer = layerFor(context.atoms, longsOf(replies.type.get(), XA_ATOM), {});
  if (onScreenOnly && layer == kDesktopLayer)
    return std::nullopt;
  Point origin = context.layout.rootToGlobal(geometry.x, geometry.y);
  WindowInfo info;
  info.number = WindowId(window);
  info.bounds = Rect{origin.x, origin.y, geometry.width + 2.0 * geometry.border_width,
                     geometry.height + 2.0 * geometry.border_width};
  info.layer = layer;
  info.ownerName = ownerName(replies.wmClass.get());
  info.title = title(context, replies.netName.get(), replies.name.get());
  return info;
}

// The windows to list, bottom to top as both the stacking list and the root's children come, and
// whether a window manager placed them. A window manager announces itself with a check window
// that names itself; a check window left behind by one that has quit is gone or no longer does.
// All the root's answers are asked for at once, then the check window's: two round trips.
std::optional<std::vector<xcb_window_t>> listedWindows(const ListContext& context, bool& managed) {
  xcb_connection_t* c = context.connection;
  xcb_get_property_cookie_t rootCheck =
      requestProperty(context, context.root, context.atoms[kSupportingWmCheck], XA_WINDOW);
  xcb_get_property_cookie_t lists[] = {
      requestProperty(context, context.root, context.atoms[kClientListStacking], XA_WINDOW),
      requestProperty(context, context.root, context.atoms[kClientList], XA_WINDOW)};
  xcb_query_tree_cookie_t tree = xcb_query_tree(c, context.root);

  std::optional<Window> check = windowOf(takeReply(c, rootCheck, xcb_get_property_reply).get());
  std::optional<xcb_get_property_cookie_t> checkOfCheck;
  if (check)
    checkOfCheck = requestProperty(context, xcb_window_t(*check), context.atoms[kSupportingWmCheck],
                                   XA_WINDOW);
  std::optional<std::vector<xcb_window_t>> windows;
  for (xcb_get_property_cookie_t list : lists) {
    Reply<xcb_get_property_reply_t> reply = takeReply(c, list, xcb_get_property_reply);
    std::optional<WindowProperty> value = propertyOf(reply.get(), XA_WINDOW);
    if (!windows && value && value->format == 32)
      windows.emplace(value->longs.begin(), value->longs.end());
  }
  Reply<xcb_query_tree_reply_t> children = takeReply(c, tree, xcb_query_tree_reply);
  managed =
      checkOfCheck && windowOf(takeReply(c, *checkOfCheck, xcb_get_property_reply).get()) == *check;
  if (managed && windows)
    return windows;
  managed = false;
  if (!children)
    return std::nullopt;
  const xcb_window_t* first = xcb_query_tree_children(children.get());
  return std::vector<xcb_window_t>(first, first + xcb_query_tree_children_length(children.get()));
}

} // namespace

X11Windows::X11Windows(ThreadConnections& connections) : connections_(connections) {}

X11Windows::~X11Windows() = default;

std::optional<std::vector<WindowInfo>> X11Windows::windowList(WindowListOption option) {
  Display* display = connections_.forThisThread();
  if (!display)
    return std::nullopt;
  ListContext context{display,
                      XGetXCBConnection(display),
                      xcb_window_t(DefaultRootWindow(display)),
                      internAtoms(display),
                      queryMonitors(display),
                      option};
  // The xcb requests below report their errors with their replies; the trap covers what Xlib
  // still does while the list is read (text conversion).
  XErrorTrap trap(display);
  // Xlib's own requests must be on their way before xcb sends more on the same connection.
  XFlush(display);
  bool managed = false;
  std::optional<std::vector<xcb_window_t>> windows = listedWindows(context, managed);
  if (!windows)
    return std::nullopt;
  std::vector<WindowRequests> requests;
  requests.reserve(windows->size());
  for (auto it = windows->rbegin(); it != windows->rend(); ++it)
    requests.push_back(sendRequests(context, *it, managed));
  std::vector<WindowInfo> list;
  for (const WindowRequests& request : requests) {
    std::optional<WindowReplies> replies = takeReplies(context, request, managed);
    if (!replies)
      continue; // gone
    std::optional<WindowInfo> info = managed ? describeManaged(context, request.window, *replies)
                                             : describeUnmanaged(context, request.window, *replies);
    if (info)
      list.push_back(std::move(*info));
  }
  return list;
}

} // namespace tovel

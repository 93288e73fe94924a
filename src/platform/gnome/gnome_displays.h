#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <glib.h>

#include "platform/monitor_layout.h"

namespace tovel {

class GnomeBus;

// A logical monitor as the compositor's display configuration reports it.
struct GnomeMonitor {
  std::string connector; // e.g. "Meta-0"
  int x = 0;             // desktop coordinates (the compositor's stage)
  int y = 0;
  int width = 0;
  int height = 0;
  double scale = 1.0;
  bool primary = false;
};

// The logical monitors of a GetCurrentState reply, in its order; empty when the reply is not one.
std::vector<GnomeMonitor> parseDisplayState(GVariant* state);

// The monitors of a GNOME session, asked of org.gnome.Mutter.DisplayConfig and asked again when it
// reports a change. Each connector keeps the display number it got first while the program runs.
class GnomeDisplays {
public:
  explicit GnomeDisplays(GnomeBus& bus);

  // Asks for the monitors now and follows the compositor's changes from then on; false, with the
  // reason, when the display configuration cannot be read.
  bool start(std::string& error);

  MonitorLayout layout() const;
  // The connector of a display, if it is one of the current monitors.
  std::optional<std::string> connector(DisplayId display) const;
  double scale(DisplayId display) const;

  // Runs on the bus thread after every change of the layout, with the new one.
  void setChangeHandler(std::function<void(const MonitorLayout&)> handler);
  // Asks for the monitors again (a compositor that has restarted reports no change), and runs the
  // change handler if they differ; false, with the reason, when they cannot be read.
  bool reload(std::string& error);

private:
  bool refresh(std::string& error);
  void tell();

  GnomeBus& bus_;
  mutable std::mutex mutex_; // the members below
  MonitorLayout layout_;
  std::map<std::string, DisplayId> ids_;
  std::map<DisplayId, double> scales_;
  DisplayId nextId_ = 1;
  std::function<void(const MonitorLayout&)> handler_;
};

} // namespace tovel

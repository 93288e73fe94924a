#pragma once

namespace tovel {

// Wall-clock time in seconds since 1970-01-01 00:00 UTC. Logic that measures time or waits goes
// through this so tests can set the time and skip the waits.
class Clock {
public:
  virtual ~Clock() = default;
  virtual double now() = 0;
  virtual void sleepFor(double seconds) = 0;
};

class SystemClock final : public Clock {
public:
  double now() override;
  void sleepFor(double seconds) override;
};

} // namespace tovel

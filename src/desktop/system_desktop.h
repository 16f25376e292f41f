// Time from the operating system's clocks, for the real backends.
#pragma once

#include "desktop/desktop.h"

namespace desktop {

class SystemClockDesktop : public Desktop {
 public:
  double now() override;
  std::chrono::nanoseconds monotonicNow() override;
  void pause(std::chrono::nanoseconds duration) override;
};

}  // namespace desktop

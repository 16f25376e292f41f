#include "desktop/system_desktop.h"

#include <thread>

namespace desktop {

double SystemClockDesktop::now() {
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(sinceEpoch).count();
}

std::chrono::nanoseconds SystemClockDesktop::monotonicNow() {
  return std::chrono::steady_clock::now().time_since_epoch();
}

void SystemClockDesktop::pause(std::chrono::nanoseconds duration) {
  std::this_thread::sleep_for(duration);
}

}  // namespace desktop

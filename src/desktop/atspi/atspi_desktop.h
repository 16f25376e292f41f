// The desktop of a Linux X11 session: accessibility through AT-SPI (libatspi), typing through
// XTEST. Without a session (no bus, accessibility off, no X server) it grants nothing and answers
// every question at once.
#pragma once

#include <memory>

#include "desktop/desktop.h"

namespace desktop::atspi {

std::unique_ptr<Desktop> makeAtspiDesktop();

}  // namespace desktop::atspi

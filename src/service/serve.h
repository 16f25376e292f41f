#pragma once

#include "desktop/desktop.h"

namespace service {

// The worker loop: answers every line of standard input in order, then ends the process with
// status 0. Never returns.
[[noreturn]] void serveRequests(desktop::Desktop& desktop);

// Writes all of `data` to the file descriptor; a failure to write is not reported.
void writeAll(int fd, const std::string& data);

}  // namespace service

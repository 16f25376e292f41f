// The wire format: one request line in, exactly one response line out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "desktop/desktop.h"

namespace service {

constexpr std::size_t kMaxLineBytes = 250000;
constexpr std::size_t kMaxIdGraphemes = 100;
constexpr std::string_view kDefaultResponse = R"({"error":"invalid_request","id":"","ok":false})";

// Answers one request line (its terminator removed, ill-formed UTF-8 already replaced). Returns
// the response line with its LF. Never throws.
std::string handleLine(desktop::Desktop& desktop, std::string_view line);

}  // namespace service

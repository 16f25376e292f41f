// Reading a request line: strict JSON whose top-level value must be an object, kept only as far
// as the operations look at it. The keys they read ("id", "op", "token", "text") come back with
// their string values; any other type of value stands as null, which no operation takes for a
// string; every other key is dropped, as nothing reads it. A whole document tree is never built:
// a request costs its parsing and no more.
#pragma once

#include <optional>
#include <string_view>

#include "operations/perform.h"

namespace service {

// None when the line is not a JSON text whose top-level value is an object.
std::optional<operations::JsonObject> readRequest(std::string_view line);

}  // namespace service

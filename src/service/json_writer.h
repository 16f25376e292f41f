// Response serialisation: compact, keys in ascending byte order, the slash escaped, non-ASCII
// written as raw UTF-8. Total: any value gives well-formed JSON text in valid UTF-8.
#pragma once

#include <string>

#include "operations/perform.h"

namespace service {

std::string serialize(const operations::JsonObject& value);

}  // namespace service

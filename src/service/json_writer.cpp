#include "service/json_writer.h"

#include "text/unicode.h"

namespace service {
namespace {

void writeString(std::string& out, const std::string& raw) {
  // Strings normally arrive well-formed; repairing here makes an unwritable response impossible.
  const bool wellFormed = text::isWellFormedUtf8(raw);
  const std::string repaired = wellFormed ? std::string() : text::wellFormedUtf8(raw);
  const std::string& s = wellFormed ? raw : repaired;
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t plain = 0;  // start of the run of characters written as they are
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const bool escaped = c == '"' || c == '\\' || c == '/' || static_cast<unsigned char>(c) < 0x20;
    if (!escaped) continue;
    out.append(s, plain, i - plain);
    plain = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += "\\u00";
        out += kHex[(c >> 4) & 0xF];
        out += kHex[c & 0xF];
    }
  }
  out.append(s, plain, s.size() - plain);
  out += '"';
}

void writeValue(std::string& out, const operations::JsonObject& value) {
  using Type = operations::JsonObject::value_t;
  switch (value.type()) {
    case Type::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.items()) {  // std::map: ascending byte order
        if (!first) out += ',';
        first = false;
        writeString(out, key);
        out += ':';
        writeValue(out, member);
      }
      out += '}';
      break;
    }
    case Type::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) out += ',';
        first = false;
        writeValue(out, element);
      }
      out += ']';
      break;
    }
    case Type::string:
      writeString(out, value.get_ref<const std::string&>());
      break;
    case Type::boolean:
      out += value.get<bool>() ? "true" : "false";
      break;
    case Type::number_integer:
    case Type::number_unsigned:
      out += value.dump();
      break;
    case Type::number_float:
      // JSON has no NaN or infinity.
      out += std::isfinite(value.get<double>()) ? value.dump() : "null";
      break;
    default:
      out += "null";
  }
}

}  // namespace

std::string serialize(const operations::JsonObject& value) {
  std::string out;
  writeValue(out, value);
  return out;
}

}  // namespace service

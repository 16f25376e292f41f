// Any input line gets exactly one response line: well-formed UTF-8, valid JSON, an object with a
// boolean "ok" and a string "id". The simulated desktop has a focused text field, so captures and
// inserts run their whole course.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "desktop/main_queue.h"
#include "desktop/simulated/simulated_desktop.h"
#include "operations/perform.h"
#include "service/protocol.h"
#include "text/unicode.h"

namespace {

desktop::simulated::SimulatedDesktop& stage() {
  static auto* sim = [] {
    auto* d = new desktop::simulated::SimulatedDesktop();
    desktop::simulated::Control& field = d->focusApplication(7, u"Fuzz", 1);
    field.value = u"hello \U0001F600 world";
    field.selection = {6, 2};
    return d;
  }();
  return *sim;
}

void check(std::string_view line) {
  const std::string response = service::handleLine(stage(), line);
  if (response.empty() || response.back() != '\n' || response.find('\n') != response.size() - 1) {
    std::abort();
  }
  const std::string_view body(response.data(), response.size() - 1);
  if (body.find('\r') != std::string_view::npos) std::abort();
  if (text::wellFormedUtf8(body) != body) std::abort();
  const auto parsed = operations::JsonObject::parse(body, nullptr, false);
  if (!parsed.is_object()) std::abort();
  const auto ok = parsed.find("ok");
  const auto id = parsed.find("id");
  if (ok == parsed.end() || !ok->is_boolean() || id == parsed.end() || !id->is_string()) {
    std::abort();
  }
}

}  // namespace

// As in the process, another thread serves the main queue.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::thread([] { desktop::mainQueue().serve(); }).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  check(raw);
  check(text::wellFormedUtf8(raw));
  operations::target.reset();
  stage().asked.clear();
  stage().posted.clear();
  return 0;
}

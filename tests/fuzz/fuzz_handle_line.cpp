// Short sessions against the simulated desktop. The input's first byte picks the scene (how the
// focused control takes text, its role, whether it is a password field, how the application
// answers); the rest is lines, each a request or, starting with "!", something the user does in
// between (moves the focus, raises another application, selects something else, holds a key,
// lets ten minutes pass), at once or a few typing steps into the next request. "TOKEN" in a request
// stands for the token the last capture returned, so captures and inserts run their whole course.
//
// Every request line gets exactly one response line: well-formed UTF-8, valid JSON, an object
// with a boolean "ok" and a string "id". And nothing is ever written where it must not be: into
// a control other than the captured one, or into a password field.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "desktop/main_queue.h"
#include "desktop/simulated/simulated_desktop.h"
#include "operations/perform.h"
#include "service/protocol.h"
#include "text/unicode.h"

namespace {

using desktop::simulated::SimulatedDesktop;

constexpr std::size_t kMaxLines = 24;
const std::u16string kValues[] = {u"hello \U0001F600 world", u"", u"e\u0301te\u0301 \u4e2d\n2",
                                  u"abc"};

void arrange(SimulatedDesktop& d, uint8_t scene) {
  desktop::simulated::Control& field = d.focusApplication(7, u"Fuzz", 1);
  field.editableText = (scene & 1) == 0;
  field.role = (scene & 2) ? u"AXTextArea" : u"AXTextField";
  if (scene & 4) field.subrole = u"AXSecureTextField";
  field.value = kValues[(scene >> 3) & 3];
  field.selection = {static_cast<int64_t>(field.value.size() / 3),
                     static_cast<int64_t>(field.value.size() / 3)};
  const int reads[] = {0, 2, -1, 12};
  d.applications[7].applyAfterReads = reads[(scene >> 5) & 3];
  d.spareKeys = (scene & 0x80) ? 1 : 4;
  d.controls[2].value = u"other field";
  d.applications[8].name = u"Elsewhere";
  d.applications[8].focusedControl = 3;
  d.controls[3].value = u"other application";
}

void userDoes(SimulatedDesktop& d, char what) {
  switch (what) {
    case 'f':
      d.applications[7].focusedControl = 2;
      break;
    case 'F':
      d.applications[7].focusedControl = 1;
      break;
    case 'b':
      d.frontmost = 8;
      break;
    case 'B':
      d.frontmost = 7;
      break;
    case 's':
      d.controls[1].selection = {0, static_cast<int64_t>(d.controls[1].value.size())};
      break;
    case 'k':
      d.keysHeldUntil = d.monotonic + std::chrono::seconds(5);
      break;
    case 't':
      d.wallClock += 601;
      break;
    default:
      break;
  }
}

void checkResponse(const std::string& response) {
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

std::string tokenIn(const std::string& response) {
  const auto parsed = operations::JsonObject::parse(response, nullptr, false);
  if (!parsed.is_object() || !parsed.contains("target")) return {};
  return parsed["target"].value("token", "");
}

void session(std::string_view input, bool repaired) {
  if (input.empty()) return;
  SimulatedDesktop d;
  const auto scene = static_cast<uint8_t>(input[0]);
  arrange(d, scene);
  const std::map<int, std::u16string> before = {
      {1, d.controls[1].value}, {2, d.controls[2].value}, {3, d.controls[3].value}};
  std::set<int> captured;  // the controls that a capture remembered at some point
  std::string token;
  std::size_t lines = 0;
  for (std::size_t start = 1; start <= input.size() && lines < kMaxLines; ++lines) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    std::string line(input.substr(start, end - start));
    start = end + 1;
    if ((line.size() == 2 || line.size() == 3) && line[0] == '!') {
      // "!f" now; "!f7", seven typing steps into what comes next.
      const char what = line[1];
      const int steps = line.size() == 3 ? (line[2] & 0x0F) : 0;
      d.happenings.push_back({d.monotonic + steps * d.typingStep,
                              [what](SimulatedDesktop& desk) { userDoes(desk, what); }});
      if (steps == 0) d.finishTyping();
      continue;
    }
    for (std::size_t at = line.find("TOKEN"); at != std::string::npos; at = line.find("TOKEN")) {
      line.replace(at, 5, token);
    }
    if (repaired) line = text::wellFormedUtf8(line);
    const std::string response = service::handleLine(d, line);
    checkResponse(response);
    if (const std::string fresh = tokenIn(response); !fresh.empty()) {
      token = fresh;
      const auto& front = d.applications[*d.frontmost];
      if (front.focusedControl) captured.insert(*front.focusedControl);
    }
  }
  d.finishTyping();
  for (const auto& [control, value] : before) {
    // Written where the focus went rather than into the captured control, or into a password
    // field (which no capture remembers).
    if (captured.count(control) == 0 && d.controls[control].value != value) std::abort();
  }
  if ((scene & 4) && captured.count(1) != 0) std::abort();
  operations::target.reset();
}

}  // namespace

// As in the process, another thread serves the main queue.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::thread([] { desktop::mainQueue().serve(); }).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  session(raw, false);
  session(raw, true);
  return 0;
}

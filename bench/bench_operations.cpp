// Capture and insert through handleLine on the simulated desktop, with a large control value and
// the largest text: time per operation and peak RSS, at several value lengths to show the work is
// linear in the value's length.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "desktop/main_queue.h"
#include "desktop/simulated/simulated_desktop.h"
#include "operations/perform.h"
#include "service/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

double medianMs(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

long peakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void run(std::size_t valueUnits, std::size_t textUnits, int rounds, bool selectAll = false) {
  desktop::simulated::SimulatedDesktop sim;
  desktop::simulated::Control& field = sim.focusApplication(7, u"Bench", 1);
  // Mixed text: ASCII, accents, and astral characters, so every Unicode path does real work.
  std::u16string pattern = u"lorem ipsum \u00e9t\u00e9 \U0001F600 ";
  std::u16string value;
  while (value.size() < valueUnits) value += pattern;
  value.resize(valueUnits);
  if (valueUnits > 0 && (value.back() & 0xFC00) == 0xD800) value.back() = u'x';
  std::string text(textUnits, 'w');

  std::vector<double> captureMs, insertMs;
  for (int i = 0; i < rounds; ++i) {
    field.value = value;
    field.selection = selectAll ? desktop::Range{0, static_cast<int64_t>(valueUnits)}
                                : desktop::Range{static_cast<int64_t>(valueUnits / 2), 100};
    sim.asked.clear();
    sim.posted.clear();
    auto started = Clock::now();
    const std::string captured = service::handleLine(sim, R"({"id":"c","op":"capture"})");
    captureMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    const std::string token = captured.substr(captured.find("\"token\":\"") + 9, 36);
    const std::string request =
        R"({"id":"i","op":"insert","token":")" + token + R"(","text":")" + text + "\"}";
    started = Clock::now();
    const std::string inserted = service::handleLine(sim, request);
    insertMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - started).count());
    if (inserted != "{\"id\":\"i\",\"inserted\":true,\"ok\":true}\n") {
      std::printf("unexpected: %s", inserted.c_str());
      return;
    }
  }
  std::printf(
      "value %7zu units, %s, text %5zu units: capture %7.3f ms, insert %7.3f ms (median of %d)\n",
      valueUnits, selectAll ? "all selected   " : "100 units chosen", textUnits,
      medianMs(captureMs), medianMs(insertMs), rounds);
}

}  // namespace

int main() {
  std::thread([] { desktop::mainQueue().serve(); }).detach();
  for (const std::size_t units : {125000u, 250000u, 500000u, 1000000u}) run(units, 30000, 21);
  run(1000000, 20, 21);
  run(1000000, 30000, 21, true);
  std::printf("peak RSS: %.1f MB\n", static_cast<double>(peakRssKb()) / 1024);
  return 0;
}

#include <memory>
#include <thread>

#include "desktop/atspi/atspi_desktop.h"
#include "desktop/main_queue.h"
#include "operations/perform.h"
#include "service/serve.h"

int main() {
  operations::target.reset();
  // Never destroyed: the worker ends the process with exit() while this thread is still serving.
  desktop::Desktop* desktop = desktop::atspi::makeAtspiDesktop().release();
  std::thread([desktop] { service::serveRequests(*desktop); }).detach();
  desktop::mainQueue().serve();
  return 0;
}

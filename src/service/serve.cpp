#include "service/serve.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "operations/perform.h"
#include "service/line_reader.h"
#include "service/protocol.h"
#include "text/unicode.h"

namespace service {

void writeAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    done += static_cast<std::size_t>(wrote);
  }
}

void serveRequests(desktop::Desktop& desktop) {
  // Keeping one byte past the limit (and a CR) is enough to refuse a longer line; the rest of it
  // is read and dropped, so memory stays bounded however long a line is.
  LineReader reader(STDIN_FILENO, kMaxLineBytes + 2);
  std::string raw;
  const std::string defaultLine = std::string(kDefaultResponse) + "\n";
  while (reader.next(raw)) {
    std::string line;
    try {
      line = text::wellFormedUtf8(raw);
    } catch (...) {
      // Out of memory for the copy: the line still gets its one response.
      writeAll(STDOUT_FILENO, defaultLine);
      continue;
    }
    // One write(2) per response: it leaves the process at once, nothing is buffered.
    writeAll(STDOUT_FILENO, handleLine(desktop, line));
  }
  // Release the remembered control while the desktop still exists.
  operations::target.reset();
  std::exit(0);
}

}  // namespace service

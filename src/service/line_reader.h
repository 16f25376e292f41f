// Splits a file descriptor into lines with bounded memory: a line longer than the caller's limit
// is read to its end but only its first bytes are kept, enough to know it is too long.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace service {

class LineReader {
 public:
  // Keeps at most `keep` bytes of each line.
  LineReader(int fd, std::size_t keep);

  // The next line without its LF, and without a CR that stands directly before that LF. A last
  // line with no LF counts too. False at the end of input (or on a read error).
  bool next(std::string& line);

 private:
  bool fill();

  int fd_;
  std::size_t keep_;
  std::vector<char> buffer_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
};

}  // namespace service

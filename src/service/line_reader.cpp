#include "service/line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace service {

LineReader::LineReader(int fd, std::size_t keep) : fd_(fd), keep_(keep), buffer_(1 << 16) {}

bool LineReader::fill() {
  if (ended_) return false;
  for (;;) {
    const ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
    if (got > 0) {
      start_ = 0;
      end_ = static_cast<std::size_t>(got);
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    ended_ = true;
    return false;
  }
}

bool LineReader::next(std::string& line) {
  line.clear();
  bool any = false;  // whether a byte of a new line has been seen
  bool sawLf = false;
  bool cut = false;
  while (!sawLf) {
    if (start_ == end_ && !fill()) break;
    any = true;
    const char* from = buffer_.data() + start_;
    const std::size_t available = end_ - start_;
    const void* lf = std::memchr(from, '\n', available);
    const std::size_t take =
        lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - from) : available;
    const std::size_t room = keep_ - line.size();
    line.append(from, std::min(take, room));
    cut = cut || take > room;
    start_ += take;
    if (lf) {
      ++start_;
      sawLf = true;
    }
  }
  if (!any) return false;
  // Only a CR directly before a final LF belongs to the terminator; a cut line's last kept byte is
  // not the one before its LF.
  if (sawLf && !cut && !line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace service

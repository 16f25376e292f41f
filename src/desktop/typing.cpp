#include "desktop/typing.h"

namespace desktop::typing {

bool typeable(std::u32string_view text, bool multiLine) {
  for (const char32_t c : text) {
    if (c == U'\n' && multiLine) continue;
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
    if (c >= 0xD800 && c <= 0xDFFF) return false;  // half of a pair: no key types it
  }
  return true;
}

std::optional<std::chrono::nanoseconds> TypingJob::step(std::chrono::nanoseconds now) {
  if (end_ != End::kRunning) return std::nullopt;
  bool confirmed = false;
  if (sent_ > done_) {
    // The keymap may change again only once the control has taken the batch bound to it.
    if (!host_.shows(sent_)) {
      if (now >= stallsAt_) return finish(End::kStalled);
      return kPollInterval;
    }
    done_ = sent_;
    confirmed = true;
  }
  if (done_ == text_.size()) return finish(End::kDone);
  if (host_.keysHeld()) {
    if (!releaseBy_) releaseBy_ = now + kKeysHeldWait;
    if (now >= *releaseBy_) return finish(End::kKeysHeld);
    return kPollInterval;
  }
  releaseBy_.reset();
  if (!host_.focusHolds() || (!confirmed && !host_.shows(done_))) return finish(End::kFocusLost);
  const std::u32string_view rest(text_);
  const Batch batch = nextBatch(
      rest, done_, [this](char32_t c) { return host_.hasOwnKey(c); }, host_.spareKeys());
  if (batch.length == 0 || !host_.press(batch, rest.substr(done_, batch.length))) {
    return finish(End::kCannotPress);
  }
  sent_ = done_ + batch.length;
  stallsAt_ = now + kStall;
  return kPollInterval;
}

bool TypingJob::batchInFlight() {
  if (end_ != End::kRunning || sent_ == done_) return false;
  if (!host_.shows(sent_)) return true;
  done_ = sent_;
  return false;
}

void TypingJob::stop() {
  if (end_ == End::kRunning) finish(End::kStopped);
}

std::optional<std::chrono::nanoseconds> TypingJob::finish(End end) {
  end_ = end;
  host_.restore();
  return std::nullopt;
}

}  // namespace desktop::typing

// Typing a text into one control as key presses, for controls that take no text directly. The
// text goes in small batches; before every batch the job makes sure the control still has the
// focus and shows exactly what the earlier batches should have made of it, and it stops for good
// at the first doubt. Each backend supplies the `TypingHost` that presses its keys; the job decides
// when, and how much.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace desktop::typing {

// Few enough characters that a focus change the checks cannot see costs little.
constexpr std::size_t kMaxBatchLength = 32;
// A batch the control has not shown by then is given up, and the job with it.
constexpr std::chrono::milliseconds kStall{2000};
// Keys the user still holds (the hot key that triggered the parent): waited for this long, then
// the job stops rather than type through them.
constexpr std::chrono::milliseconds kKeysHeldWait{1000};
// How often a job looks again while it waits.
constexpr std::chrono::milliseconds kPollInterval{2};

// Whether typing can produce every character literally: no control character (a tab would move
// the focus, a backspace delete the user's text), and a line break only where the control has
// several lines.
bool typeable(std::u32string_view text, bool multiLine);

struct Batch {
  std::size_t length = 0;       // characters from the job's position on
  std::vector<char32_t> bound;  // those that need a key bound for them, each once, in first use
};

// The longest run from `from` on of at most `maxLength` characters whose characters without a
// key of their own fit in `spareKeys` bindings. Length 0: the next character cannot be typed.
template <typename HasOwnKey>
Batch nextBatch(std::u32string_view text, std::size_t from, HasOwnKey hasOwnKey,
                std::size_t spareKeys, std::size_t maxLength = kMaxBatchLength) {
  Batch batch;
  for (std::size_t i = from; i < text.size() && batch.length < maxLength; ++i) {
    const char32_t c = text[i];
    if (!hasOwnKey(c)) {
      bool bound = false;
      for (const char32_t b : batch.bound) bound = bound || b == c;
      if (!bound) {
        if (batch.bound.size() == spareKeys) break;
        batch.bound.push_back(c);
      }
    }
    ++batch.length;
  }
  return batch;
}

// What a job needs from the desktop it types on.
class TypingHost {
 public:
  virtual ~TypingHost() = default;
  virtual bool hasOwnKey(char32_t character) = 0;
  virtual std::size_t spareKeys() = 0;
  // Whether the user holds any key or modifier now.
  virtual bool keysHeld() = 0;
  // Whether the control still has the keyboard focus: its application in front and focused, the
  // control focused in it.
  virtual bool focusHolds() = 0;
  // Whether the control shows its value with the first `typed` characters of the text in place
  // of the selection, and nothing else changed.
  virtual bool shows(std::size_t typed) = 0;
  // Presses the batch's keys: the characters it binds bound in one change of the keymap, then
  // every key of `characters` pressed and released. False when nothing could be pressed.
  virtual bool press(const Batch& batch, std::u32string_view characters) = 0;
  // Gives back every binding and every keyboard state the job changed.
  virtual void restore() = 0;
};

class TypingJob {
 public:
  enum class End { kRunning, kDone, kFocusLost, kStalled, kKeysHeld, kCannotPress, kStopped };

  TypingJob(std::u32string text, TypingHost& host) : text_(std::move(text)), host_(host) {}
  TypingJob(const TypingJob&) = delete;
  TypingJob& operator=(const TypingJob&) = delete;

  // Goes as far as it can at `now`: gives how long to wait before the next call, or none once the
  // job has ended (and restored what it changed).
  std::optional<std::chrono::nanoseconds> step(std::chrono::nanoseconds now);
  // Whether keys pressed are still on their way into the control. A job that ends meanwhile
  // (the process is ending) waits a little for them first: the application would otherwise take
  // them whenever it gets to them, wherever its focus is by then.
  bool batchInFlight();
  // Ends the job at once.
  void stop();

  End end() const { return end_; }
  std::size_t typed() const { return done_; }

 private:
  std::optional<std::chrono::nanoseconds> finish(End end);

  std::u32string text_;
  TypingHost& host_;
  std::size_t done_ = 0;  // characters the control has shown
  std::size_t sent_ = 0;  // characters pressed
  std::chrono::nanoseconds stallsAt_{0};
  std::optional<std::chrono::nanoseconds> releaseBy_;
  End end_ = End::kRunning;
};

}  // namespace desktop::typing

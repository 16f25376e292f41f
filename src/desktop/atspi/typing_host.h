// Typing into one AT-SPI text control through the X keyboard: the job's view of the real
// desktop. On the GLib thread only.
#pragma once

#include <string>

#include "desktop/atspi/atspi_tree.h"
#include "desktop/atspi/x_keyboard.h"
#include "desktop/typing.h"

namespace desktop::atspi {

class AtspiTypingHost : public typing::TypingHost {
 public:
  // `control` is the captured control (one reference, taken over); `value` and the code-point
  // range [start, end) what the checks read from it.
  AtspiTypingHost(XKeyboard& keyboard, Pid pid, GObjectPtr<AtspiAccessible> control,
                  std::u16string value, int64_t start, int64_t end, std::u32string text);

  bool hasOwnKey(char32_t character) override { return keyboard_.hasOwnKey(character); }
  std::size_t spareKeys() override { return keyboard_.spareKeys(); }
  bool keysHeld() override { return keyboard_.keysHeld(); }
  bool focusHolds() override;
  bool shows(std::size_t typed) override;
  bool press(const typing::Batch& batch, std::u32string_view characters) override {
    return keyboard_.press(pid_, batch.bound, characters);
  }
  void restore() override { keyboard_.restore(); }

 private:
  XKeyboard& keyboard_;
  Pid pid_;
  GObjectPtr<AtspiAccessible> control_;
  ObjectId id_;
  std::u16string value_;
  int64_t start_;
  int64_t end_;
  int64_t characters_;  // of `value_`, in code points
  std::u32string text_;
};

}  // namespace desktop::atspi

#include "desktop/atspi/typing_host.h"

#include "text/unicode.h"

namespace desktop::atspi {

AtspiTypingHost::AtspiTypingHost(XKeyboard& keyboard, Pid pid, GObjectPtr<AtspiAccessible> control,
                                 std::u16string value, int64_t start, int64_t end,
                                 std::u32string text)
    : keyboard_(keyboard),
      pid_(pid),
      control_(std::move(control)),
      id_(idOf(control_.get())),
      value_(std::move(value)),
      start_(start),
      end_(end),
      characters_(static_cast<int64_t>(text::countCodePoints(value_))),
      text_(std::move(text)) {}

bool AtspiTypingHost::focusHolds() {
  // Key presses go to the window with the X input focus, whatever the accessibility tree says.
  if (keyboard_.focusedWindowProcess() != pid_) return false;
  const GObjectPtr<AtspiAccessible> front = frontApplication();
  if (!front || processOf(front.get()) != pid_) return false;
  const GObjectPtr<AtspiAccessible> focused = focusedControl(front.get());
  return focused && idOf(focused.get()) == id_;
}

bool AtspiTypingHost::shows(std::size_t typed) {
  // Before the first key: exactly what the checks read, with the same selection.
  if (typed == 0) return showsExactly(control_.get(), value_, start_, end_);
  fresh(control_.get());
  // After: the text typed so far in place of the selection and the caret after it. Reading only
  // that stretch keeps a long value from being read whole after every batch.
  GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(control_.get()));
  if (!text) return false;
  const auto length = static_cast<int64_t>(typed);
  GErrorSlot error;
  // The caret first: while keys are still arriving it is the one call made, and a cheap one, so
  // that waiting does not slow the application down.
  const gint caret = atspi_text_get_caret_offset(text.get(), error.out());
  if (error.failed() || caret != start_ + length) return false;
  const gint count = atspi_text_get_character_count(text.get(), error.out());
  if (error.failed() || count != characters_ - (end_ - start_) + length) return false;
  GCharPtr shown(atspi_text_get_text(text.get(), static_cast<gint>(start_),
                                     static_cast<gint>(start_ + length), error.out()));
  if (error.failed() || !shown) return false;
  return text::toCodePoints(text::toUtf16(shown.get())) == text_.substr(0, typed);
}

}  // namespace desktop::atspi

// Synthetic typing through the X server's XTEST extension. A character that the keymap already
// has is typed with its own key (with Shift where it sits on the shifted level); any other is
// bound, for the time it takes, to a spare keycode (one that has no symbols). Spare keycodes are
// few, so a text goes in batches, and the caller waits for the application to take each batch
// before the next one rebinds them. Only the GLib thread calls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct _XDisplay;

namespace desktop::atspi {

class XKeyboard {
 public:
  XKeyboard() = default;
  ~XKeyboard();
  XKeyboard(const XKeyboard&) = delete;
  XKeyboard& operator=(const XKeyboard&) = delete;

  // Whether the display can be opened and has XTEST.
  bool available();

  // Reads the current keymap; called before each text.
  void beginText();
  // Types characters from `from` on, at most `maxLength` of them and no more distinct unmapped
  // characters than there are spare keycodes. Returns how many it typed (0: it cannot type).
  std::size_t typeBatch(const std::u32string& text, std::size_t from, std::size_t maxLength);
  // Gives the spare keycodes their empty mapping back.
  void restore();

  // The keysym that types this character.
  static unsigned long keysymFor(char32_t character);

 private:
  struct Key {
    uint8_t keycode;
    bool shift;
  };
  void bind(uint8_t keycode, unsigned long keysym);

  _XDisplay* display_ = nullptr;
  bool checked_ = false;
  bool usable_ = false;
  int keysymsPerKeycode_ = 0;
  uint8_t shiftKeycode_ = 0;
  std::map<unsigned long, Key> mapped_;  // keysyms the keymap has of its own
  std::vector<uint8_t> spare_;
  std::vector<uint8_t> inUse_;
};

}  // namespace desktop::atspi

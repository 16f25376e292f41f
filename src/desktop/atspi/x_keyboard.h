// Synthetic typing through the X server's XTEST extension. Each character is bound, for the time
// it takes, to a spare keycode (one that has no symbols), pressed and released; the keymap is put
// back once the application has taken the characters. Only the GLib thread calls it.
#pragma once

#include <cstddef>
#include <cstdint>
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

  // Keycodes that have no symbols, usable for as long as the caller holds them.
  const std::vector<uint8_t>& spareKeycodes();
  // Binds keycodes[i] to the symbol of characters[i], presses and releases each character's
  // keycode in order. `characters` holds at most as many distinct characters as there are spare
  // keycodes; `keycodes[i]` is the keycode that types characters[i].
  void typeBatch(const std::u32string& characters, const std::vector<uint8_t>& keycodes);
  // Gives the spare keycodes their empty mapping back.
  void restore();

  // The keysym that types this character.
  static unsigned long keysymFor(char32_t character);

 private:
  void bind(uint8_t keycode, unsigned long keysym);

  _XDisplay* display_ = nullptr;
  bool checked_ = false;
  bool usable_ = false;
  int keysymsPerKeycode_ = 0;
  std::vector<uint8_t> spare_;
  std::vector<uint8_t> inUse_;
};

}  // namespace desktop::atspi

// Synthetic typing through the X server's XTEST extension, whatever state the user's keyboard is
// in. A character on the plain or shifted level of the first layout group is typed with its own
// key; any other is bound, for the time it takes, to a spare keycode (one without symbols) as a
// one-level key, which neither a modifier nor a layout group changes. A batch's bindings go in
// one change of the keymap and are given back in one. They are recorded on the root window first,
// so that bindings a killed process left behind are reclaimed by the next one to start. Locked
// modifiers (Caps Lock, Num Lock) and a locked layout group are cleared while a text is typed and
// locked again after. A click anywhere, or a key of a real keyboard, while a text is typed stops
// it. Only the GLib thread
// calls it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _XDisplay;

namespace desktop::atspi {

class XKeyboard {
 public:
  XKeyboard() = default;
  ~XKeyboard();
  XKeyboard(const XKeyboard&) = delete;
  XKeyboard& operator=(const XKeyboard&) = delete;

  // Whether the display can be opened and has XTEST and XKB. The first call also reclaims
  // bindings left by processes that have ended.
  bool available();

  // Reads the keymap; called before each text.
  void beginText();
  bool hasOwnKey(char32_t character) const;
  std::size_t spareKeys() const { return spare_.size(); }

  // Whether any key is down or any modifier is held or latched.
  bool keysHeld();
  // The process that owns the window holding the X input focus, if a window holds it.
  std::optional<int32_t> focusedWindowProcess();

  // Binds `bound` (in one change, reusing what is bound already) and presses the keys of
  // `characters`, every one of which has its own key or is in `bound`, provided a window of
  // process `pid` holds the input focus. The server is held for the check and the keys, so no
  // other client (a window manager raising another window, another program's synthetic input)
  // can move the focus in between. False when nothing was pressed.
  bool press(int32_t pid, const std::vector<char32_t>& bound, std::u32string_view characters);
  // Gives the spare keycodes their empty mapping back and locks again what typing unlocked.
  void restore();

  // Changes of the keymap made so far.
  long keymapChanges() const { return keymapChanges_; }

  // The keysym that types this character.
  static unsigned long keysymFor(char32_t character);

 private:
  struct Key {
    uint8_t keycode;
    bool shift;
  };
  struct Locks {
    unsigned mods;
    int group;
  };
  bool bind(const std::vector<std::pair<uint8_t, unsigned long>>& changes);
  void record(const std::map<uint8_t, unsigned long>& bindings);
  void reclaimAbandoned();
  void clearLocks();
  // False once the server has gone away.
  bool connected();
  // Whether the user has clicked anywhere, or pressed a key of a real keyboard, since the text
  // began.
  bool clickedSinceBegin();

  _XDisplay* display_ = nullptr;
  bool checked_ = false;
  bool usable_ = false;
  bool lost_ = false;
  int xiOpcode_ = 0;
  int xtestKeyboard_ = 0;  // the device of synthetic keys, this process's own among them
  bool clicked_ = false;
  uint8_t shiftKeycode_ = 0;
  std::map<unsigned long, Key> own_;        // keysyms the keymap has keys for
  std::vector<uint8_t> spare_;              // keycodes without symbols
  std::map<uint8_t, unsigned long> bound_;  // what this process has bound to them
  std::optional<Locks> unlocked_;           // what typing unlocked
  long keymapChanges_ = 0;
};

}  // namespace desktop::atspi

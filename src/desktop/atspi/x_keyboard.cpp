#include "desktop/atspi/x_keyboard.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstdlib>

namespace desktop::atspi {
namespace {

// Xlib reports errors through handlers that print and exit the process by default.
int ignoreXError(Display*, XErrorEvent*) { return 0; }
int ignoreXIoError(Display*) { return 0; }

}  // namespace

XKeyboard::~XKeyboard() {
  if (display_ != nullptr) XCloseDisplay(display_);
}

bool XKeyboard::available() {
  if (checked_) return usable_;
  checked_ = true;
  if (std::getenv("DISPLAY") == nullptr) return false;
  XSetErrorHandler(ignoreXError);
  XSetIOErrorHandler(ignoreXIoError);
  display_ = XOpenDisplay(nullptr);
  if (display_ == nullptr) return false;
  int eventBase, errorBase, major, minor;
  usable_ = XTestQueryExtension(display_, &eventBase, &errorBase, &major, &minor);
  return usable_;
}

void XKeyboard::beginText() {
  mapped_.clear();
  spare_.clear();
  shiftKeycode_ = 0;
  if (!available()) return;
  int minKeycode = 0, maxKeycode = 0;
  XDisplayKeycodes(display_, &minKeycode, &maxKeycode);
  const int count = maxKeycode - minKeycode + 1;
  KeySym* map =
      XGetKeyboardMapping(display_, static_cast<KeyCode>(minKeycode), count, &keysymsPerKeycode_);
  if (map == nullptr) return;
  for (int k = 0; k < count; ++k) {
    const KeySym* syms = map + static_cast<std::ptrdiff_t>(k) * keysymsPerKeycode_;
    const auto keycode = static_cast<uint8_t>(minKeycode + k);
    bool empty = true;
    for (int s = 0; s < keysymsPerKeycode_; ++s) empty = empty && syms[s] == NoSymbol;
    if (empty) {
      spare_.push_back(keycode);
      continue;
    }
    // Only the plain and the shifted level of the first group: no other modifier is pressed.
    if (syms[0] != NoSymbol) mapped_.emplace(syms[0], Key{keycode, false});
    if (keysymsPerKeycode_ > 1 && syms[1] != NoSymbol) mapped_.emplace(syms[1], Key{keycode, true});
    if (syms[0] == XK_Shift_L && shiftKeycode_ == 0) shiftKeycode_ = keycode;
  }
  XFree(map);
  if (shiftKeycode_ == 0) {
    // Without a Shift key, shifted symbols go through spare keycodes like unmapped ones.
    for (auto it = mapped_.begin(); it != mapped_.end();) {
      it = it->second.shift ? mapped_.erase(it) : std::next(it);
    }
  }
}

unsigned long XKeyboard::keysymFor(char32_t c) {
  if (c == U'\n' || c == U'\r') return XK_Return;
  if (c == U'\t') return XK_Tab;
  if (c == U'\b') return XK_BackSpace;
  if ((c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF)) return c;
  return 0x1000000 + static_cast<unsigned long>(c);
}

void XKeyboard::bind(uint8_t keycode, unsigned long keysym) {
  std::vector<KeySym> syms(
      static_cast<std::size_t>(keysymsPerKeycode_ > 0 ? keysymsPerKeycode_ : 1), NoSymbol);
  // The same symbol on the shifted level: no modifier state can change what is typed.
  syms[0] = keysym;
  if (syms.size() > 1) syms[1] = keysym;
  XChangeKeyboardMapping(display_, keycode, static_cast<int>(syms.size()), syms.data(), 1);
}

std::size_t XKeyboard::typeBatch(const std::u32string& text, std::size_t from,
                                 std::size_t maxLength) {
  if (!available()) return 0;
  std::map<unsigned long, uint8_t> bound;
  std::vector<Key> keys;
  for (std::size_t i = from; i < text.size() && keys.size() < maxLength; ++i) {
    const unsigned long keysym = keysymFor(text[i]);
    if (const auto own = mapped_.find(keysym); own != mapped_.end()) {
      keys.push_back(own->second);
      continue;
    }
    auto spare = bound.find(keysym);
    if (spare == bound.end()) {
      if (bound.size() == spare_.size()) break;
      spare = bound.emplace(keysym, spare_[bound.size()]).first;
      bind(spare->second, keysym);
      inUse_.push_back(spare->second);
    }
    keys.push_back(Key{spare->second, false});
  }
  XSync(display_, False);
  for (const Key& key : keys) {
    if (key.shift) XTestFakeKeyEvent(display_, shiftKeycode_, True, CurrentTime);
    XTestFakeKeyEvent(display_, key.keycode, True, CurrentTime);
    XTestFakeKeyEvent(display_, key.keycode, False, CurrentTime);
    if (key.shift) XTestFakeKeyEvent(display_, shiftKeycode_, False, CurrentTime);
  }
  XSync(display_, False);
  return keys.size();
}

void XKeyboard::restore() {
  if (display_ == nullptr) return;
  for (const uint8_t keycode : inUse_) bind(keycode, NoSymbol);
  inUse_.clear();
  XSync(display_, False);
}

}  // namespace desktop::atspi

#include "desktop/atspi/x_keyboard.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstdlib>

namespace desktop::atspi {
namespace {

// Xlib reports protocol errors through a handler that exits the process by default.
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

const std::vector<uint8_t>& XKeyboard::spareKeycodes() {
  if (!spare_.empty() || !available()) return spare_;
  int minKeycode = 0, maxKeycode = 0;
  XDisplayKeycodes(display_, &minKeycode, &maxKeycode);
  const int count = maxKeycode - minKeycode + 1;
  KeySym* map = XGetKeyboardMapping(display_, static_cast<KeyCode>(minKeycode), count,
                                    &keysymsPerKeycode_);
  if (map == nullptr) return spare_;
  for (int k = 0; k < count; ++k) {
    bool empty = true;
    for (int s = 0; s < keysymsPerKeycode_; ++s) {
      if (map[k * keysymsPerKeycode_ + s] != NoSymbol) empty = false;
    }
    if (empty) spare_.push_back(static_cast<uint8_t>(minKeycode + k));
  }
  XFree(map);
  return spare_;
}

unsigned long XKeyboard::keysymFor(char32_t c) {
  if (c == U'\n' || c == U'\r') return XK_Return;
  if (c == U'\t') return XK_Tab;
  if (c == U'\b') return XK_BackSpace;
  if ((c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF)) return c;
  return 0x1000000 + static_cast<unsigned long>(c);
}

void XKeyboard::bind(uint8_t keycode, unsigned long keysym) {
  std::vector<KeySym> syms(static_cast<std::size_t>(keysymsPerKeycode_ > 0 ? keysymsPerKeycode_ : 1),
                           NoSymbol);
  // The same symbol on the shifted level: no modifier state can change what is typed.
  syms[0] = keysym;
  if (syms.size() > 1) syms[1] = keysym;
  XChangeKeyboardMapping(display_, keycode, static_cast<int>(syms.size()), syms.data(), 1);
}

void XKeyboard::typeBatch(const std::u32string& characters, const std::vector<uint8_t>& keycodes) {
  if (!available()) return;
  std::vector<bool> bound(256, false);
  for (std::size_t i = 0; i < characters.size(); ++i) {
    if (bound[keycodes[i]]) continue;
    bind(keycodes[i], keysymFor(characters[i]));
    bound[keycodes[i]] = true;
    inUse_.push_back(keycodes[i]);
  }
  XSync(display_, False);
  for (std::size_t i = 0; i < characters.size(); ++i) {
    XTestFakeKeyEvent(display_, keycodes[i], True, CurrentTime);
    XTestFakeKeyEvent(display_, keycodes[i], False, CurrentTime);
  }
  XSync(display_, False);
}

void XKeyboard::restore() {
  if (display_ == nullptr) return;
  for (const uint8_t keycode : inUse_) bind(keycode, NoSymbol);
  inUse_.clear();
  XSync(display_, False);
}

}  // namespace desktop::atspi

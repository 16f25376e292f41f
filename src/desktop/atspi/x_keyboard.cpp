#include "desktop/atspi/x_keyboard.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace desktop::atspi {
namespace {

// Xlib reports errors through handlers that print and exit the process by default.
int ignoreXError(Display*, XErrorEvent*) { return 0; }
int ignoreXIoError(Display*) { return 0; }

constexpr char kRecordPrefix[] = "_SELECTION_BRIDGE_KEYS_";
// Keycode 8 stands for "no key" in the evdev numbering that most clients assume.
constexpr int kLowestSpareKeycode = 9;

struct XFreeDeleter {
  void operator()(void* p) const {
    if (p != nullptr) XFree(p);
  }
};
struct KeyboardDeleter {
  void operator()(XkbDescPtr xkb) const {
    if (xkb != nullptr) XkbFreeKeyboard(xkb, XkbAllComponentsMask, True);
  }
};
using KeyboardPtr = std::unique_ptr<XkbDescRec, KeyboardDeleter>;

KeyboardPtr keyboardMap(Display* display) {
  return KeyboardPtr(XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd));
}

// A CARDINAL property of 32-bit items; empty when the window has none.
std::vector<unsigned long> cardinals(Display* display, Window window, Atom property, long most) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<unsigned long> items;
  if (XGetWindowProperty(display, window, property, 0, most, False, XA_CARDINAL, &type, &format,
                         &count, &after, &data) != Success) {
    return items;
  }
  std::unique_ptr<unsigned char, XFreeDeleter> owned(data);
  if (type == XA_CARDINAL && format == 32 && data != nullptr) {
    const auto* values = reinterpret_cast<const unsigned long*>(data);  // Xlib widens to long
    items.assign(values, values + count);
  }
  return items;
}

bool processAlive(long pid) {
  return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

}  // namespace

XKeyboard::~XKeyboard() {
  if (display_ != nullptr && !lost_) XCloseDisplay(display_);
}

bool XKeyboard::available() {
  if (checked_) return usable_ && connected();
  checked_ = true;
  if (std::getenv("DISPLAY") == nullptr) return false;
  XSetErrorHandler(ignoreXError);
  XSetIOErrorHandler(ignoreXIoError);
  display_ = XOpenDisplay(nullptr);
  if (display_ == nullptr) return false;
  // A server that goes away must not end the process (the library exits unless told otherwise):
  // the keyboard is gone from then on, and every question about it is answered "no".
  XSetIOErrorExitHandler(
      display_, [](Display*, void* self) { static_cast<XKeyboard*>(self)->lost_ = true; }, this);
  int eventBase, errorBase, major, minor;
  if (!XTestQueryExtension(display_, &eventBase, &errorBase, &major, &minor)) return false;
  int opcode, xkbEvent, xkbError;
  major = XkbMajorVersion;
  minor = XkbMinorVersion;
  if (!XkbQueryExtension(display_, &opcode, &xkbEvent, &xkbError, &major, &minor)) return false;
  // Clicks, from any pointer, are told to this client whatever window they go to, so typing
  // can see the user act.
  int xiEvent, xiError, xiMajor = 2, xiMinor = 1;
  if (!XQueryExtension(display_, "XInputExtension", &xiOpcode_, &xiEvent, &xiError) ||
      XIQueryVersion(display_, &xiMajor, &xiMinor) != Success) {
    return false;
  }
  // Keys too, but only those of real keyboards: the XTEST device's are this process's own.
  int count = 0;
  if (XIDeviceInfo* devices = XIQueryDevice(display_, XIAllDevices, &count)) {
    for (int i = 0; i < count; ++i) {
      if (devices[i].use == XISlaveKeyboard && devices[i].name != nullptr &&
          std::strstr(devices[i].name, "XTEST") != nullptr) {
        xtestKeyboard_ = devices[i].deviceid;
      }
    }
    XIFreeDeviceInfo(devices);
  }
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  XISetMask(bits, XI_RawButtonPress);
  if (xtestKeyboard_ != 0) XISetMask(bits, XI_RawKeyPress);
  XIEventMask mask{XIAllMasterDevices, static_cast<int>(sizeof bits), bits};
  XISelectEvents(display_, DefaultRootWindow(display_), &mask, 1);
  usable_ = true;
  reclaimAbandoned();
  return usable_;
}

bool XKeyboard::connected() {
  if (lost_) return false;
  // A closed connection shows as readable; reading it is what finds out.
  pollfd fd{ConnectionNumber(display_), POLLIN, 0};
  if (poll(&fd, 1, 0) > 0) XPending(display_);
  return !lost_;
}

bool XKeyboard::clickedSinceBegin() {
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.xcookie.type != GenericEvent || event.xcookie.extension != xiOpcode_) continue;
    if (event.xcookie.evtype == XI_RawButtonPress) {
      clicked_ = true;
    } else if (event.xcookie.evtype == XI_RawKeyPress && XGetEventData(display_, &event.xcookie)) {
      const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
      if (raw->sourceid != xtestKeyboard_) clicked_ = true;
      XFreeEventData(display_, &event.xcookie);
    }
  }
  return clicked_;
}

void XKeyboard::beginText() {
  if (available()) {
    clickedSinceBegin();
    clicked_ = false;
  }
  own_.clear();
  spare_.clear();
  shiftKeycode_ = 0;
  if (!available()) return;
  const KeyboardPtr xkb = keyboardMap(display_);
  if (!xkb) return;
  for (const unsigned mods : {0u, static_cast<unsigned>(ShiftMask)}) {
    for (int k = xkb->min_key_code; k <= xkb->max_key_code; ++k) {
      const auto keycode = static_cast<uint8_t>(k);
      if (XkbKeyNumGroups(xkb.get(), k) == 0) {
        if (mods == 0 && k >= kLowestSpareKeycode) spare_.push_back(keycode);
        continue;
      }
      // What the first group gives with no modifier, then with Shift: typing clears the locked
      // modifiers and the locked group, so nothing else applies.
      unsigned consumed = 0;
      KeySym keysym = NoSymbol;
      if (XkbTranslateKeyCode(xkb.get(), keycode, mods, &consumed, &keysym) && keysym != NoSymbol) {
        own_.emplace(keysym, Key{keycode, mods != 0});
        if (mods == 0 && keysym == XK_Shift_L && shiftKeycode_ == 0) shiftKeycode_ = keycode;
      }
    }
  }
  if (shiftKeycode_ == 0) {
    // Without a Shift key, shifted symbols go through spare keycodes like any other.
    for (auto it = own_.begin(); it != own_.end();) {
      it = it->second.shift ? own_.erase(it) : std::next(it);
    }
  }
}

bool XKeyboard::hasOwnKey(char32_t character) const {
  return own_.count(keysymFor(character)) != 0;
}

unsigned long XKeyboard::keysymFor(char32_t c) {
  if (c == U'\n') return XK_Return;
  if ((c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF)) return c;
  return 0x1000000 + static_cast<unsigned long>(c);
}

bool XKeyboard::keysHeld() {
  if (!available()) return true;
  char keys[32];
  XQueryKeymap(display_, keys);
  for (const char byte : keys) {
    if (byte != 0) return true;
  }
  XkbStateRec state;
  if (XkbGetState(display_, XkbUseCoreKbd, &state) != Success) return true;
  return state.base_mods != 0 || state.latched_mods != 0 || state.latched_group != 0;
}

std::optional<int32_t> XKeyboard::focusedWindowProcess() {
  if (!available()) return std::nullopt;
  Window focus = None;
  int revert = 0;
  XGetInputFocus(display_, &focus, &revert);
  if (focus == None || focus == PointerRoot) return std::nullopt;
  const Atom pidAtom = XInternAtom(display_, "_NET_WM_PID", False);
  // The focus may sit on a child of the application's top-level window.
  for (Window window = focus; window != None;) {
    if (const auto pid = cardinals(display_, window, pidAtom, 1); pid.size() == 1) {
      return static_cast<int32_t>(pid[0]);
    }
    Window root = None, parent = None;
    Window* children = nullptr;
    unsigned int childCount = 0;
    if (!XQueryTree(display_, window, &root, &parent, &children, &childCount)) break;
    if (children != nullptr) XFree(children);
    if (parent == root) break;
    window = parent;
  }
  return std::nullopt;
}

void XKeyboard::clearLocks() {
  XkbStateRec state;
  if (XkbGetState(display_, XkbUseCoreKbd, &state) != Success) return;
  if (state.locked_mods == 0 && state.locked_group == 0) return;
  if (!unlocked_) unlocked_ = Locks{state.locked_mods, state.locked_group};
  XkbLockModifiers(display_, XkbUseCoreKbd, state.locked_mods, 0);
  XkbLockGroup(display_, XkbUseCoreKbd, 0);
}

bool XKeyboard::press(int32_t pid, const std::vector<char32_t>& bound,
                      std::u32string_view characters) {
  if (!available()) return false;
  clearLocks();
  // Keep what is bound already; give the other characters keycodes this batch does not need.
  std::map<unsigned long, uint8_t> keyFor;
  std::vector<unsigned long> unplaced;
  for (const char32_t c : bound) {
    const unsigned long keysym = keysymFor(c);
    bool placed = false;
    for (const auto& [keycode, held] : bound_) {
      if (held == keysym) {
        keyFor[keysym] = keycode;
        placed = true;
      }
    }
    if (!placed) unplaced.push_back(keysym);
  }
  std::vector<std::pair<uint8_t, unsigned long>> changes;
  std::size_t next = 0;
  for (const unsigned long keysym : unplaced) {
    for (; next < spare_.size(); ++next) {
      bool taken = false;
      for (const auto& used : keyFor) taken = taken || used.second == spare_[next];
      if (!taken) break;
    }
    if (next == spare_.size()) return false;
    keyFor[keysym] = spare_[next];
    changes.emplace_back(spare_[next], keysym);
    ++next;
  }
  if (!changes.empty()) {
    std::map<uint8_t, unsigned long> after = bound_;
    for (const auto& [keycode, keysym] : changes) after[keycode] = keysym;
    // Recorded before the keymap changes, so that no binding of ours ever goes unrecorded.
    record(after);
    if (!bind(changes)) return false;
    bound_ = std::move(after);
  }
  std::vector<Key> keys;
  for (const char32_t c : characters) {
    const unsigned long keysym = keysymFor(c);
    if (const auto own = own_.find(keysym); own != own_.end()) {
      keys.push_back(own->second);
    } else if (const auto spare = keyFor.find(keysym); spare != keyFor.end()) {
      keys.push_back(Key{spare->second, false});
    } else {
      return false;
    }
  }
  XGrabServer(display_);
  // With the server held, every click it has taken so far has been told to this client. One
  // since the text began means the user is at work: the application may be moving its focus
  // this very moment, before the checks could see it.
  XSync(display_, False);
  if (clickedSinceBegin() || focusedWindowProcess() != pid) {
    XUngrabServer(display_);
    XSync(display_, False);
    return false;
  }
  for (const Key& key : keys) {
    if (key.shift) XTestFakeKeyEvent(display_, shiftKeycode_, True, CurrentTime);
    XTestFakeKeyEvent(display_, key.keycode, True, CurrentTime);
    XTestFakeKeyEvent(display_, key.keycode, False, CurrentTime);
    if (key.shift) XTestFakeKeyEvent(display_, shiftKeycode_, False, CurrentTime);
  }
  XSync(display_, False);
  XUngrabServer(display_);
  XSync(display_, False);
  return true;
}

bool XKeyboard::bind(const std::vector<std::pair<uint8_t, unsigned long>>& changes) {
  const KeyboardPtr xkb = keyboardMap(display_);
  if (!xkb) return false;
  XkbMapChangesRec mapChanges;
  std::memset(&mapChanges, 0, sizeof mapChanges);
  int lowest = 255, highest = 0;
  for (const auto& [keycode, keysym] : changes) {
    if (keysym == NoSymbol) {
      if (XkbChangeTypesOfKey(xkb.get(), keycode, 0, XkbGroup1Mask, nullptr, &mapChanges) !=
          Success) {
        return false;
      }
    } else {
      int types[XkbNumKbdGroups] = {XkbOneLevelIndex, XkbOneLevelIndex, XkbOneLevelIndex,
                                    XkbOneLevelIndex};
      if (XkbChangeTypesOfKey(xkb.get(), keycode, 1, XkbGroup1Mask, types, &mapChanges) !=
          Success) {
        return false;
      }
      KeySym* syms = XkbResizeKeySyms(xkb.get(), keycode, 1);
      if (syms == nullptr) return false;
      syms[0] = keysym;
    }
    lowest = std::min<int>(lowest, keycode);
    highest = std::max<int>(highest, keycode);
  }
  if (mapChanges.num_key_syms > 0) {
    lowest = std::min<int>(lowest, mapChanges.first_key_sym);
    highest = std::max<int>(highest, mapChanges.first_key_sym + mapChanges.num_key_syms - 1);
  }
  mapChanges.changed |= XkbKeySymsMask;
  mapChanges.first_key_sym = static_cast<KeyCode>(lowest);
  mapChanges.num_key_syms = static_cast<unsigned char>(highest - lowest + 1);
  const bool changed = XkbChangeMap(display_, xkb.get(), &mapChanges);
  ++keymapChanges_;
  return changed;
}

void XKeyboard::record(const std::map<uint8_t, unsigned long>& bindings) {
  const std::string name = kRecordPrefix + std::to_string(getpid());
  const Atom atom = XInternAtom(display_, name.c_str(), False);
  const Window root = DefaultRootWindow(display_);
  if (bindings.empty()) {
    XDeleteProperty(display_, root, atom);
    return;
  }
  std::vector<long> data;  // Xlib passes format-32 data as longs
  for (const auto& [keycode, keysym] : bindings) {
    data.push_back(keycode);
    data.push_back(static_cast<long>(keysym));
  }
  XChangeProperty(display_, root, atom, XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(data.data()),
                  static_cast<int>(data.size()));
}

void XKeyboard::restore() {
  if (display_ == nullptr || !usable_ || !connected()) return;
  if (!bound_.empty()) {
    std::vector<std::pair<uint8_t, unsigned long>> changes;
    for (const auto& binding : bound_) changes.emplace_back(binding.first, NoSymbol);
    bind(changes);
    bound_.clear();
    record(bound_);
  }
  if (unlocked_) {
    XkbLockModifiers(display_, XkbUseCoreKbd, unlocked_->mods, unlocked_->mods);
    XkbLockGroup(display_, XkbUseCoreKbd, static_cast<unsigned>(unlocked_->group));
    unlocked_.reset();
  }
  XSync(display_, False);
}

void XKeyboard::reclaimAbandoned() {
  const Window root = DefaultRootWindow(display_);
  int count = 0;
  std::unique_ptr<Atom, XFreeDeleter> atoms(XListProperties(display_, root, &count));
  if (!atoms) return;
  const KeyboardPtr xkb = keyboardMap(display_);
  std::vector<std::pair<uint8_t, unsigned long>> changes;
  for (int i = 0; i < count; ++i) {
    const Atom atom = atoms.get()[i];
    std::unique_ptr<char, XFreeDeleter> name(XGetAtomName(display_, atom));
    if (!name || std::strncmp(name.get(), kRecordPrefix, sizeof kRecordPrefix - 1) != 0) continue;
    const long pid = std::strtol(name.get() + sizeof kRecordPrefix - 1, nullptr, 10);
    if (pid != getpid() && processAlive(pid)) continue;
    const std::vector<unsigned long> values = cardinals(display_, root, atom, 1024);
    for (std::size_t j = 0; xkb && j + 1 < values.size(); j += 2) {
      const auto keycode = static_cast<int>(values[j]);
      if (keycode < xkb->min_key_code || keycode > xkb->max_key_code) continue;
      // Only what is still exactly the recorded binding: anything else is someone else's.
      if (XkbKeyNumGroups(xkb.get(), keycode) == 1 &&
          XkbKeyGroupWidth(xkb.get(), keycode, 0) == 1 &&
          XkbKeySymsPtr(xkb.get(), keycode)[0] == values[j + 1]) {
        changes.emplace_back(static_cast<uint8_t>(keycode), NoSymbol);
      }
    }
    XDeleteProperty(display_, root, atom);
  }
  if (!changes.empty()) bind(changes);
  XSync(display_, False);
}

}  // namespace desktop::atspi

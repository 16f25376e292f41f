#include "desktop/atspi/atspi_desktop.h"

#include <atspi/atspi.h>
#include <gio/gio.h>
#include <glib-unix.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "desktop/atspi/atspi_tree.h"
#include "desktop/atspi/glib_thread.h"
#include "desktop/atspi/gobject_handles.h"
#include "desktop/atspi/typing_host.h"
#include "desktop/atspi/x_keyboard.h"
#include "desktop/system_desktop.h"
#include "text/unicode.h"

namespace desktop::atspi {
namespace {

// The accessibility bus answers within this bound, or the call counts as failed.
constexpr int kCallTimeoutMs = 1000;
// How long the end of the process waits for keys already pressed to reach the control.
constexpr std::chrono::milliseconds kInFlightWait{500};

class AtspiElement : public Element {
 public:
  // Takes over one reference to `accessible`, which may be null: an application that is not
  // there, whose every read fails.
  AtspiElement(AtspiAccessible* accessible, Pid pid)
      : accessible_(accessible), pid_(pid), id_(idOf(accessible)) {}
  ~AtspiElement() override {
    if (accessible_ == nullptr) return;
    AtspiAccessible* accessible = accessible_;
    GlibThread::instance().call([accessible] { g_object_unref(accessible); });
  }

  AtspiAccessible* accessible() const { return accessible_; }
  Pid pid() const { return pid_; }
  const ObjectId& id() const { return id_; }

 private:
  AtspiAccessible* accessible_;
  Pid pid_;
  ObjectId id_;
};

const AtspiElement& atspiElement(const Element& element) {
  return static_cast<const AtspiElement&>(element);
}

// "push button" → "AXPushButton": roles the operations do not know keep a recognisable name.
std::u16string axRoleName(AtspiRole role) {
  GCharPtr name(atspi_role_get_name(role));
  std::string out = "AX";
  bool upper = true;
  for (const char* c = name ? name.get() : "unknown"; *c != '\0'; ++c) {
    if (*c == ' ' || *c == '-' || *c == '_') {
      upper = true;
      continue;
    }
    out += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(*c))) : *c;
    upper = false;
  }
  return text::toUtf16(out);
}

class AtspiDesktop;

// Every desktop of the process, so that the end of the process (at end of input, or by SIGTERM
// or SIGINT) stops their typing and gives the keymap back. Touched on the GLib thread only.
std::set<AtspiDesktop*>& liveDesktops() {
  static auto* desktops = new std::set<AtspiDesktop*>();  // never destroyed: exit() may come
  return *desktops;
}
void stopAllTyping();

class AtspiDesktop : public SystemClockDesktop {
 public:
  AtspiDesktop() : thread_(GlibThread::instance()) {
    thread_.call([this] { liveDesktops().insert(this); });
  }
  ~AtspiDesktop() override {
    waitForTyping();
    thread_.call([this] {
      keyboard_.restore();
      liveDesktops().erase(this);
    });
  }

  bool isProcessTrusted() override {
    return thread_.call([this] { return trust(false); });
  }
  bool isProcessTrustedWithPrompt() override {
    return thread_.call([this] { return trust(true); });
  }

  std::optional<RunningApplication> frontmostApplication() override {
    waitForTyping();
    return thread_.call([this]() -> std::optional<RunningApplication> {
      if (!ready_) return std::nullopt;
      GObjectPtr<AtspiAccessible> application = frontApplication();
      if (!application) return std::nullopt;
      const auto pid = processOf(application.get());
      if (!pid) return std::nullopt;
      GErrorSlot error;
      GCharPtr name(atspi_accessible_get_name(application.get(), error.out()));
      RunningApplication found{*pid, std::nullopt};
      if (name && *name != '\0') found.name = text::toUtf16(name.get());
      return found;
    });
  }

  ElementRef applicationElement(Pid pid) override {
    waitForTyping();
    return thread_.call([this, pid]() -> ElementRef {
      return std::make_unique<AtspiElement>(ready_ ? applicationOf(pid).release() : nullptr, pid);
    });
  }

  int setMessagingTimeout(const Element&, float) override {
    // libatspi bounds every call with one process-wide timeout, set when it starts.
    return kSuccess;
  }

  AttributeResult copyAttributeValue(const Element& element, const std::string& name) override {
    waitForTyping();
    const AtspiElement& e = atspiElement(element);
    return thread_.call([&]() -> AttributeResult {
      if (e.accessible() == nullptr) return {kCannotComplete, std::nullopt};
      fresh(e.accessible());
      if (name == "AXFocusedUIElement") return focusedIn(e.accessible(), e.pid());
      return readControl(e.accessible(), name);
    });
  }

  SettableResult isAttributeSettable(const Element& element, const std::string& name) override {
    waitForTyping();
    const AtspiElement& e = atspiElement(element);
    return thread_.call([&]() -> SettableResult {
      if (e.accessible() == nullptr) return {kCannotComplete, false};
      if (name != "AXSelectedText") return {kSuccess, false};
      fresh(e.accessible());
      // An editable text control takes the text directly, or typed where it cannot.
      GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(e.accessible()));
      return {kSuccess, text != nullptr && hasState(e.accessible(), ATSPI_STATE_EDITABLE)};
    });
  }

  bool equal(const Element& a, const Element& b) override {
    const AtspiElement& left = atspiElement(a);
    const AtspiElement& right = atspiElement(b);
    if (left.accessible() == nullptr || right.accessible() == nullptr) return false;
    return left.id() == right.id();
  }

  std::optional<KeyboardEvent> createKeyboardEvent(uint16_t virtualKey, bool keyDown) override {
    return KeyboardEvent{virtualKey, keyDown, 0, {}};
  }

  PostResult postKeyboardEvent(Pid pid, const PostTarget& into,
                               const KeyboardEvent& event) override {
    if (!event.keyDown || event.text.empty()) return PostResult::kPosted;
    waitForTyping();
    const AtspiElement& e = atspiElement(into.element);
    if (e.accessible() == nullptr || !thread_.call([this] { return ready_; })) {
      return PostResult::kTargetChanged;
    }
    const Delivery delivery = thread_.call([&] { return deliveryFor(e.accessible()); });
    if (delivery == Delivery::kEdit) {
      return thread_.call([&] { return edit(e.accessible(), into, event.text); });
    }
    if (delivery == Delivery::kNone) return PostResult::kCannotBuild;
    const std::u32string characters = text::toCodePoints(event.text);
    if (!typing::typeable(characters, delivery == Delivery::kTypeLines)) {
      return PostResult::kCannotBuild;
    }
    // The hot key that made the parent insert may still be held: wait a little for its release
    // rather than type through it.
    const auto releaseBy = std::chrono::steady_clock::now() + typing::kKeysHeldWait;
    while (thread_.call([this] { return keyboard_.keysHeld(); })) {
      if (std::chrono::steady_clock::now() >= releaseBy) return PostResult::kCannotBuild;
      std::this_thread::sleep_for(typing::kPollInterval);
    }
    return thread_.call([&] { return startTyping(pid, e.accessible(), into, characters); });
  }

 private:
  enum class Delivery { kNone, kEdit, kTypeLine, kTypeLines };

  // --- on the GLib thread ---

  GDBusConnection* sessionBus() {
    if (session_ && !g_dbus_connection_is_closed(session_.get())) return session_.get();
    session_.reset();
    std::string address;
    if (const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS"); env != nullptr && *env) {
      address = env;
    } else if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr) {
      // Never let the bus library start a bus of its own (X11 autolaunch) to answer.
      const std::string path = std::string(runtime) + "/bus";
      struct stat info {};
      if (stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) address = "unix:path=" + path;
    }
    if (address.empty()) return nullptr;
    GErrorSlot error;
    session_.reset(g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, error.out()));
    if (session_) g_dbus_connection_set_exit_on_close(session_.get(), FALSE);
    return session_.get();
  }

  GVariantPtr callA11yBus(const char* interface, const char* method, GVariant* parameters,
                          const GVariantType* replyType) {
    GDBusConnection* bus = sessionBus();
    if (bus == nullptr) {
      if (parameters != nullptr) g_variant_unref(g_variant_ref_sink(parameters));
      return nullptr;
    }
    GErrorSlot error;
    return GVariantPtr(g_dbus_connection_call_sync(
        bus, "org.a11y.Bus", "/org/a11y/bus", interface, method, parameters, replyType,
        G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, error.out()));
  }

  bool trust(bool prompt) {
    GVariantPtr reply =
        callA11yBus("org.freedesktop.DBus.Properties", "Get",
                    g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"), G_VARIANT_TYPE("(v)"));
    if (!reply) return false;
    GVariantPtr value(g_variant_get_child_value(reply.get(), 0));
    GVariantPtr enabled(g_variant_get_variant(value.get()));
    if (!g_variant_is_of_type(enabled.get(), G_VARIANT_TYPE_BOOLEAN)) return false;
    if (!g_variant_get_boolean(enabled.get())) {
      // Asking for access: switch accessibility on, as an assistive tool does. Applications
      // take it up in their own time, so access counts from the next question on.
      if (prompt) {
        callA11yBus(
            "org.freedesktop.DBus.Properties", "Set",
            g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)),
            nullptr);
      }
      return false;
    }
    GVariantPtr address = callA11yBus("org.a11y.Bus", "GetAddress", nullptr, G_VARIANT_TYPE("(s)"));
    if (!address) return false;
    if (!keyboard_.available()) return false;
    if (!ready_) {
      atspi_set_timeout(kCallTimeoutMs, kCallTimeoutMs);
      const int started = atspi_init();
      ready_ = started == 0 || started == 1;
      if (ready_) {
        // With caching off, libatspi's own handlers make blocking calls while it dispatches
        // (and deadlock on the dispatch lock). Caching stays on; every read clears the cache of
        // what it reads first (`fresh`), so nothing stale is answered.
        GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
        if (desktop) atspi_accessible_set_cache_mask(desktop.get(), ATSPI_CACHE_DEFAULT);
      }
    }
    return ready_;
  }

  AttributeResult focusedIn(AtspiAccessible* application, Pid pid) {
    GObjectPtr<AtspiAccessible> control = focusedControl(application);
    if (!control) return {kSuccess, std::nullopt};
    return {kSuccess, Value(std::make_unique<AtspiElement>(control.release(), pid))};
  }

  AttributeResult readControl(AtspiAccessible* control, const std::string& name) {
    GErrorSlot error;
    if (name == "AXRole" || name == "AXSubrole") {
      const AtspiRole role = atspi_accessible_get_role(control, error.out());
      if (error.failed()) return {kCannotComplete, std::nullopt};
      const bool secure = role == ATSPI_ROLE_PASSWORD_TEXT;
      if (name == "AXSubrole") {
        if (!secure) return {kSuccess, std::nullopt};
        return {kSuccess, Value(std::u16string(u"AXSecureTextField"))};
      }
      if (secure || role == ATSPI_ROLE_ENTRY)
        return {kSuccess, Value(std::u16string(u"AXTextField"))};
      if (role == ATSPI_ROLE_TEXT) {
        const bool singleLine = hasState(control, ATSPI_STATE_SINGLE_LINE);
        return {kSuccess, Value(std::u16string(singleLine ? u"AXTextField" : u"AXTextArea"))};
      }
      return {kSuccess, Value(axRoleName(role))};
    }
    if (name == "AXValue") {
      GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(control));
      if (!text) return {kFailure, std::nullopt};
      GCharPtr all(atspi_text_get_text(text.get(), 0, -1, error.out()));
      if (error.failed() || !all) return {kCannotComplete, std::nullopt};
      return {kSuccess, Value(text::toUtf16(all.get()))};
    }
    if (name == "AXSelectedText" || name == "AXSelectedTextRange") {
      const auto state = textState(control);
      if (!state) return {kCannotComplete, std::nullopt};
      // AT-SPI counts code points; the operations count UTF-16 code units.
      const auto from = text::utf16OffsetOfCodePoint(state->text, state->start);
      const auto to = text::utf16OffsetOfCodePoint(state->text, state->end);
      if (name == "AXSelectedTextRange") {
        return {kSuccess, Value(AccessibilityValue{
                              AccessibilityValue::kRangeType,
                              {static_cast<int64_t>(from), static_cast<int64_t>(to - from)}})};
      }
      return {kSuccess, Value(state->text.substr(from, to - from))};
    }
    return {kFailure, std::nullopt};
  }

  // How a text reaches this control: through its editable text where it has one, typed where it
  // is editable text without it, not at all otherwise.
  Delivery deliveryFor(AtspiAccessible* control) {
    fresh(control);
    if (!hasState(control, ATSPI_STATE_EDITABLE)) return Delivery::kNone;
    // Gecko's editable text answers true and changes nothing: Firefox's controls are typed into.
    GObjectPtr<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(control));
    if (editable && !toolkitIs(control, "Gecko")) return Delivery::kEdit;
    GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(control));
    if (!text) return Delivery::kNone;
    return hasState(control, ATSPI_STATE_MULTI_LINE) ? Delivery::kTypeLines : Delivery::kTypeLine;
  }

  // The range of `into.value` in code points, as AT-SPI counts offsets.
  static std::pair<int64_t, int64_t> codePointRange(const PostTarget& into) {
    const auto start = static_cast<int64_t>(text::countCodePoints(
        into.value.substr(0, static_cast<std::size_t>(into.selection.location))));
    const auto end = start + static_cast<int64_t>(text::countCodePoints(into.value.substr(
                                 static_cast<std::size_t>(into.selection.location),
                                 static_cast<std::size_t>(into.selection.length))));
    return {start, end};
  }

  // Replaces the range through the control's editable text: the element itself is written,
  // whatever has the focus, and no keymap or keyboard state plays a part.
  PostResult edit(AtspiAccessible* control, const PostTarget& into, const std::u16string& text) {
    const auto [start, end] = codePointRange(into);
    if (!showsExactly(control, into.value, start, end)) return PostResult::kTargetChanged;
    GObjectPtr<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(control));
    if (!editable) return PostResult::kCannotBuild;
    const std::string utf8 = text::toUtf8(text);
    GErrorSlot error;
    // Inserted after the selection first and the selection deleted after: a failure half-way
    // leaves the user's text whole. GTK and LibreOffice read the length as UTF-8 bytes; the rest
    // take the whole text when given more than it holds.
    const gboolean inserted =
        atspi_editable_text_insert_text(editable.get(), static_cast<gint>(end), utf8.c_str(),
                                        static_cast<gint>(utf8.size()), error.out());
    if (!error.failed() && inserted && end > start) {
      atspi_editable_text_delete_text(editable.get(), static_cast<gint>(start),
                                      static_cast<gint>(end), error.out());
    }
    return PostResult::kPosted;
  }

  PostResult startTyping(Pid pid, AtspiAccessible* control, const PostTarget& into,
                         std::u32string characters) {
    if (!keyboard_.available()) return PostResult::kCannotBuild;
    keyboard_.beginText();
    if (keyboard_.spareKeys() == 0) {
      for (const char32_t c : characters) {
        if (!keyboard_.hasOwnKey(c)) return PostResult::kCannotBuild;
      }
    }
    const auto [start, end] = codePointRange(into);
    host_ = std::make_unique<AtspiTypingHost>(
        keyboard_, pid,
        GObjectPtr<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(control))),
        std::u16string(into.value), start, end, characters);
    if (!host_->focusHolds() || !host_->shows(0)) {
      host_.reset();
      return PostResult::kTargetChanged;
    }
    job_ = std::make_unique<typing::TypingJob>(std::move(characters), *host_);
    {
      std::lock_guard lock(typingMutex_);
      typing_ = true;
    }
    runTyping();
    return PostResult::kPosted;
  }

  void runTyping() {
    if (!job_) return;
    const auto wait = job_->step(std::chrono::steady_clock::now().time_since_epoch());
    if (wait) {
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*wait).count();
      thread_.postAfter(static_cast<unsigned>(ms), [this] { runTyping(); });
      return;
    }
    endTyping();
  }

  void endTyping() {
    job_.reset();
    host_.reset();
    std::lock_guard lock(typingMutex_);
    typing_ = false;
    typingIdle_.notify_all();
  }

 public:
  // Ends the typing in progress and gives back what it changed: the process is ending.
  void stopTyping() {
    const auto giveUpAt = std::chrono::steady_clock::now() + kInFlightWait;
    while (job_ && job_->batchInFlight() && std::chrono::steady_clock::now() < giveUpAt) {
      std::this_thread::sleep_for(typing::kPollInterval);
    }
    if (job_) job_->stop();
    keyboard_.restore();
    if (job_) endTyping();
  }

 private:
  // --- on the calling thread ---

  // A request that arrives while a text is being typed waits until it is done: it would
  // otherwise read a half-typed control, or have its own keys interleave.
  void waitForTyping() {
    std::unique_lock lock(typingMutex_);
    typingIdle_.wait(lock, [this] { return !typing_; });
  }

  GlibThread& thread_;
  XKeyboard keyboard_;
  bool ready_ = false;
  GObjectPtr<GDBusConnection> session_;
  std::unique_ptr<AtspiTypingHost> host_;
  std::unique_ptr<typing::TypingJob> job_;
  std::mutex typingMutex_;
  std::condition_variable typingIdle_;
  bool typing_ = false;
};

void stopAllTyping() {
  for (AtspiDesktop* desktop : liveDesktops()) desktop->stopTyping();
}

gboolean onTerminatingSignal(gpointer data) {
  try {
    stopAllTyping();
  } catch (...) {
    // Ending all the same: the signal asked for it.
  }
  const int signal = GPOINTER_TO_INT(data);
  ::signal(signal, SIG_DFL);
  raise(signal);
  return G_SOURCE_REMOVE;
}

// The keymap and the lock state go back as they were however the process ends: at end of input
// (exit), and by SIGTERM or SIGINT where those would end it. A disposition the parent chose is
// left alone.
void restoreAtEnd() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::atexit([] {
      try {
        GlibThread::instance().call(stopAllTyping);
      } catch (...) {
        // The process ends in any case.
      }
    });
    GlibThread::instance().call([] {
      for (const int signal : {SIGTERM, SIGINT}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
          g_unix_signal_add(signal, onTerminatingSignal, GINT_TO_POINTER(signal));
        }
      }
    });
  });
}

}  // namespace

std::unique_ptr<Desktop> makeAtspiDesktop() {
  silenceGlibLogging();
  restoreAtEnd();
  return std::make_unique<AtspiDesktop>();
}

}  // namespace desktop::atspi

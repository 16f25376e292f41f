#include "desktop/atspi/atspi_desktop.h"

#include <atspi/atspi.h>
#include <gio/gio.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <map>
#include <string>

#include "desktop/atspi/glib_thread.h"
#include "desktop/atspi/x_keyboard.h"
#include "desktop/system_desktop.h"
#include "text/unicode.h"

namespace desktop::atspi {
namespace {

// Owners of GLib objects. They are used on the GLib thread only.
struct GObjectUnref {
  void operator()(gpointer object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFree {
  void operator()(gpointer memory) const { g_free(memory); }
};
using GCharPtr = std::unique_ptr<gchar, GFree>;

struct GVariantUnref {
  void operator()(GVariant* v) const {
    if (v != nullptr) g_variant_unref(v);
  }
};
using GVariantPtr = std::unique_ptr<GVariant, GVariantUnref>;

class GErrorSlot {
 public:
  ~GErrorSlot() { clear(); }
  GError** out() {
    clear();
    return &error_;
  }
  bool failed() const { return error_ != nullptr; }
  void clear() {
    if (error_ != nullptr) g_error_free(error_);
    error_ = nullptr;
  }

 private:
  GError* error_ = nullptr;
};

// The accessibility bus answers within this bound, or the call counts as failed.
constexpr int kCallTimeoutMs = 1000;
// A text being typed whose caret has not moved for this long is given up.
constexpr auto kTypingStall = std::chrono::seconds(2);
// Key presses sent before waiting for the application to take them.
constexpr std::size_t kMaxBatchCharacters = 400;
// Bound of the fallback search for the focused control.
constexpr int kMaxWalkedNodes = 20000;

class AtspiElement : public Element {
 public:
  // Takes over one reference to `accessible`, which may be null: an application that is not
  // there, whose every read fails.
  AtspiElement(AtspiAccessible* accessible, Pid pid) : accessible_(accessible), pid_(pid) {
    if (accessible_ != nullptr) {
      const AtspiObject* object = ATSPI_OBJECT(accessible_);
      if (object->app != nullptr && object->app->bus_name != nullptr) {
        busName_ = object->app->bus_name;
      }
      if (object->path != nullptr) path_ = object->path;
    }
  }
  ~AtspiElement() override {
    if (accessible_ == nullptr) return;
    AtspiAccessible* accessible = accessible_;
    GlibThread::instance().call([accessible] { g_object_unref(accessible); });
  }

  AtspiAccessible* accessible() const { return accessible_; }
  Pid pid() const { return pid_; }
  const std::string& busName() const { return busName_; }
  const std::string& path() const { return path_; }

 private:
  AtspiAccessible* accessible_;
  Pid pid_;
  std::string busName_;
  std::string path_;
};

const AtspiElement& atspiElement(const Element& element) {
  return static_cast<const AtspiElement&>(element);
}

// Drops what libatspi cached of this object and its descendants: the next read asks the
// application.
AtspiAccessible* fresh(AtspiAccessible* accessible) {
  atspi_accessible_clear_cache(accessible);
  return accessible;
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
  GObjectPtr<AtspiStateSet> states(atspi_accessible_get_state_set(accessible));
  return states && atspi_state_set_contains(states.get(), state);
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

struct Selection {
  std::u16string value;
  Range range;  // UTF-16 code units
};

class AtspiDesktop : public SystemClockDesktop {
 public:
  AtspiDesktop() : thread_(GlibThread::instance()) {}

  bool isProcessTrusted() override {
    return thread_.call([this] { return trust(false); });
  }
  bool isProcessTrustedWithPrompt() override {
    return thread_.call([this] { return trust(true); });
  }

  std::optional<RunningApplication> frontmostApplication() override {
    return thread_.call([this]() -> std::optional<RunningApplication> {
      if (!ready_) return std::nullopt;
      GObjectPtr<AtspiAccessible> application = findApplication(
          [this](AtspiAccessible* candidate) { return hasActiveWindow(candidate); });
      if (!application) return std::nullopt;
      GErrorSlot error;
      const guint pid = atspi_accessible_get_process_id(application.get(), error.out());
      if (error.failed()) return std::nullopt;
      GCharPtr name(atspi_accessible_get_name(application.get(), error.out()));
      RunningApplication found{static_cast<Pid>(pid), std::nullopt};
      if (name && *name != '\0') found.name = text::toUtf16(name.get());
      return found;
    });
  }

  ElementRef applicationElement(Pid pid) override {
    return thread_.call([this, pid]() -> ElementRef {
      return std::make_unique<AtspiElement>(ready_ ? findApplication(pid).release() : nullptr, pid);
    });
  }

  int setMessagingTimeout(const Element&, float) override {
    // libatspi bounds every call with one process-wide timeout, set when it starts.
    return kSuccess;
  }

  AttributeResult copyAttributeValue(const Element& element, const std::string& name) override {
    const AtspiElement& e = atspiElement(element);
    return thread_.call([&]() -> AttributeResult {
      if (e.accessible() == nullptr) return {kCannotComplete, std::nullopt};
      fresh(e.accessible());
      if (name == "AXFocusedUIElement") return focusedIn(e.accessible(), e.pid());
      return readControl(e.accessible(), name);
    });
  }

  SettableResult isAttributeSettable(const Element& element, const std::string& name) override {
    const AtspiElement& e = atspiElement(element);
    return thread_.call([&]() -> SettableResult {
      if (e.accessible() == nullptr) return {kCannotComplete, false};
      if (name != "AXSelectedText") return {kSuccess, false};
      fresh(e.accessible());
      GObjectPtr<AtspiEditableText> editable(
          atspi_accessible_get_editable_text_iface(e.accessible()));
      return {kSuccess, editable != nullptr && hasState(e.accessible(), ATSPI_STATE_EDITABLE)};
    });
  }

  bool equal(const Element& a, const Element& b) override {
    const AtspiElement& left = atspiElement(a);
    const AtspiElement& right = atspiElement(b);
    if (left.accessible() == nullptr || right.accessible() == nullptr) return false;
    return left.busName() == right.busName() && left.path() == right.path();
  }

  std::optional<KeyboardEvent> createKeyboardEvent(uint16_t virtualKey, bool keyDown) override {
    const bool usable = thread_.call([this] { return keyboard_.available(); });
    if (!usable) return std::nullopt;
    return KeyboardEvent{virtualKey, keyDown, 0, {}};
  }

  void postKeyboardEvent(Pid pid, const KeyboardEvent& event) override {
    if (!event.keyDown || event.text.empty()) return;
    thread_.call([&] { startTyping(pid, event.text); });
  }

 private:
  struct TypingJob {
    std::u32string characters;
    std::size_t done = 0;  // characters the application has taken
    std::size_t sent = 0;  // characters pressed so far
    GObjectPtr<AtspiAccessible> control;
    int64_t start = 0;  // caret (code points) where the text begins
    int64_t lastCaret = -1;
    std::chrono::steady_clock::time_point stallsAt;
  };

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

  bool hasActiveWindow(AtspiAccessible* application) {
    GErrorSlot error;
    const gint windows = atspi_accessible_get_child_count(application, error.out());
    for (gint j = 0; j < windows && !error.failed(); ++j) {
      GObjectPtr<AtspiAccessible> window(
          atspi_accessible_get_child_at_index(application, j, error.out()));
      if (window && hasState(window.get(), ATSPI_STATE_ACTIVE)) return true;
    }
    return false;
  }

  // The first application on the desktop that `wanted` picks.
  template <typename Predicate>
  GObjectPtr<AtspiAccessible> findApplication(Predicate wanted) {
    GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    if (!desktop) return nullptr;
    GErrorSlot error;
    const gint applications = atspi_accessible_get_child_count(fresh(desktop.get()), error.out());
    for (gint i = 0; i < applications && !error.failed(); ++i) {
      GErrorSlot childError;  // an application that has just gone is passed over
      GObjectPtr<AtspiAccessible> application(
          atspi_accessible_get_child_at_index(desktop.get(), i, childError.out()));
      if (application && wanted(application.get())) return application;
    }
    return nullptr;
  }

  GObjectPtr<AtspiAccessible> findApplication(Pid pid) {
    return findApplication([pid](AtspiAccessible* candidate) {
      GErrorSlot error;
      const guint found = atspi_accessible_get_process_id(candidate, error.out());
      return !error.failed() && static_cast<Pid>(found) == pid;
    });
  }

  GObjectPtr<AtspiAccessible> focusedControl(AtspiAccessible* application) {
    GObjectPtr<AtspiCollection> collection(atspi_accessible_get_collection_iface(application));
    if (collection) {
      GObjectPtr<AtspiStateSet> states(atspi_state_set_new(nullptr));
      atspi_state_set_add(states.get(), ATSPI_STATE_FOCUSED);
      // Unused criteria need MATCH_ALL with an empty set, or GTK matches nothing.
      GObjectPtr<AtspiMatchRule> rule(atspi_match_rule_new(
          states.get(), ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, nullptr,
          ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, FALSE));
      GErrorSlot error;
      GArray* matches =
          atspi_collection_get_matches(collection.get(), rule.get(),
                                       ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, error.out());
      GObjectPtr<AtspiAccessible> found;
      if (matches != nullptr) {
        for (guint i = 0; i < matches->len; ++i) {
          GObjectPtr<AtspiAccessible> match(g_array_index(matches, AtspiAccessible*, i));
          if (!found && match) found = std::move(match);
        }
        g_array_free(matches, TRUE);
      }
      // Nothing focused, or an application that did not answer in time: it is not asked again
      // node by node.
      return found;
    }
    // Toolkits without collections: walk the tree, breadth first, within a bound.
    std::deque<GObjectPtr<AtspiAccessible>> pending;
    pending.emplace_back(
        GObjectPtr<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(application))));
    for (int walked = 0; !pending.empty() && walked < kMaxWalkedNodes; ++walked) {
      GObjectPtr<AtspiAccessible> node = std::move(pending.front());
      pending.pop_front();
      GObjectPtr<AtspiStateSet> states(atspi_accessible_get_state_set(node.get()));
      if (!states) return nullptr;
      if (walked > 0 && atspi_state_set_contains(states.get(), ATSPI_STATE_FOCUSED)) return node;
      if (walked > 0 && !atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING)) continue;
      GErrorSlot error;
      const gint children = atspi_accessible_get_child_count(node.get(), error.out());
      for (gint i = 0; i < children && !error.failed(); ++i) {
        GObjectPtr<AtspiAccessible> child(
            atspi_accessible_get_child_at_index(node.get(), i, error.out()));
        if (child) pending.push_back(std::move(child));
      }
      // A call that failed (timed out, most likely) would fail as slowly for every other node.
      if (error.failed()) return nullptr;
    }
    return nullptr;
  }

  AttributeResult focusedIn(AtspiAccessible* application, Pid pid) {
    GObjectPtr<AtspiAccessible> control = focusedControl(application);
    if (!control) return {kSuccess, std::nullopt};
    return {kSuccess, Value(std::make_unique<AtspiElement>(control.release(), pid))};
  }

  // The control's whole text and its first selection (or the caret), in UTF-16 code units.
  std::optional<Selection> selectionOf(AtspiAccessible* control, int64_t* startCodePoint) {
    GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(control));
    if (!text) return std::nullopt;
    GErrorSlot error;
    GCharPtr all(atspi_text_get_text(text.get(), 0, -1, error.out()));
    if (error.failed() || !all) return std::nullopt;
    Selection selection{text::toUtf16(all.get()), {}};
    int64_t start = 0, end = 0;
    const gint selections = atspi_text_get_n_selections(text.get(), error.out());
    if (error.failed()) return std::nullopt;
    if (selections > 0) {
      std::unique_ptr<AtspiRange, GFree> range(
          atspi_text_get_selection(text.get(), 0, error.out()));
      if (error.failed() || !range) return std::nullopt;
      start = std::min(range->start_offset, range->end_offset);
      end = std::max(range->start_offset, range->end_offset);
    } else {
      start = end = atspi_text_get_caret_offset(text.get(), error.out());
      if (error.failed()) return std::nullopt;
    }
    // AT-SPI counts code points; the operations count UTF-16 code units.
    const auto from = text::utf16OffsetOfCodePoint(selection.value, start);
    const auto to = text::utf16OffsetOfCodePoint(selection.value, end);
    selection.range = {static_cast<int64_t>(from), static_cast<int64_t>(to - from)};
    if (startCodePoint != nullptr) *startCodePoint = start;
    return selection;
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
      auto selection = selectionOf(control, nullptr);
      if (!selection) return {kCannotComplete, std::nullopt};
      if (name == "AXSelectedTextRange") {
        return {kSuccess,
                Value(AccessibilityValue{AccessibilityValue::kRangeType, selection->range})};
      }
      return {kSuccess,
              Value(selection->value.substr(static_cast<std::size_t>(selection->range.location),
                                            static_cast<std::size_t>(selection->range.length)))};
    }
    return {kFailure, std::nullopt};
  }

  void startTyping(Pid pid, const std::u16string& text) {
    auto job = std::make_unique<TypingJob>();
    job->characters = text::toCodePoints(text);
    if (ready_) {
      if (GObjectPtr<AtspiAccessible> application = findApplication(pid)) {
        job->control = focusedControl(application.get());
      }
      if (job->control) {
        int64_t start = 0;
        if (selectionOf(job->control.get(), &start)) job->start = start;
      }
    }
    jobs_.push_back(std::move(job));
    if (jobs_.size() == 1) typeNextBatch();
  }

  void typeNextBatch() {
    while (!jobs_.empty()) {
      TypingJob& job = *jobs_.front();
      if (job.done == 0 && job.sent == 0) keyboard_.beginText();
      const std::size_t typed =
          job.done < job.characters.size()
              ? keyboard_.typeBatch(job.characters, job.done, kMaxBatchCharacters)
              : 0;
      if (typed > 0) {
        job.sent = job.done + typed;
        job.stallsAt = std::chrono::steady_clock::now() + kTypingStall;
        thread_.postAfter(2, [this] { checkTyping(); });
        return;
      }
      keyboard_.restore();
      jobs_.pop_front();
    }
  }

  // The keymap may change only after the application has taken the keys bound to it; the caret
  // moving past the batch says it has.
  void checkTyping() {
    if (jobs_.empty()) return;
    TypingJob& job = *jobs_.front();
    int64_t caret = -1;
    if (job.control) {
      fresh(job.control.get());
      GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(job.control.get()));
      GErrorSlot error;
      if (text) caret = atspi_text_get_caret_offset(text.get(), error.out());
      if (error.failed()) caret = -1;
    }
    const auto now = std::chrono::steady_clock::now();
    if (caret != job.lastCaret) {
      job.lastCaret = caret;
      job.stallsAt = now + kTypingStall;
    }
    const bool taken = caret >= job.start + static_cast<int64_t>(job.sent);
    if (taken) {
      job.done = job.sent;
    } else if (now >= job.stallsAt || !job.control) {
      job.done = job.characters.size();  // given up: the application does not take it
    } else {
      thread_.postAfter(5, [this] { checkTyping(); });
      return;
    }
    if (job.done >= job.characters.size()) {
      keyboard_.restore();
      jobs_.pop_front();
    }
    typeNextBatch();
  }

  GlibThread& thread_;
  XKeyboard keyboard_;
  bool ready_ = false;
  GObjectPtr<GDBusConnection> session_;
  std::deque<std::unique_ptr<TypingJob>> jobs_;
};

}  // namespace

std::unique_ptr<Desktop> makeAtspiDesktop() {
  silenceGlibLogging();
  return std::make_unique<AtspiDesktop>();
}

}  // namespace desktop::atspi

#include "desktop/atspi/atspi_tree.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <string_view>

#include "text/unicode.h"

namespace desktop::atspi {
namespace {

// Bound of the fallback search for the focused control.
constexpr int kMaxWalkedNodes = 20000;

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
GObjectPtr<AtspiAccessible> findApplication(const std::function<bool(AtspiAccessible*)>& wanted) {
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

bool isGtk4(AtspiAccessible* application) {
  if (!toolkitIs(application, "GTK")) return false;
  GErrorSlot error;
  GCharPtr version(atspi_accessible_get_toolkit_version(application, error.out()));
  return !error.failed() && version && std::string_view(version.get()).substr(0, 2) == "4.";
}

}  // namespace

bool toolkitIs(AtspiAccessible* accessible, std::string_view name) {
  GErrorSlot error;
  GCharPtr toolkit(atspi_accessible_get_toolkit_name(accessible, error.out()));
  return !error.failed() && toolkit && std::string_view(toolkit.get()) == name;
}

AtspiAccessible* fresh(AtspiAccessible* accessible) {
  atspi_accessible_clear_cache(accessible);
  return accessible;
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
  GObjectPtr<AtspiStateSet> states(atspi_accessible_get_state_set(accessible));
  return states && atspi_state_set_contains(states.get(), state);
}

GObjectPtr<AtspiAccessible> frontApplication() { return findApplication(hasActiveWindow); }

std::optional<Pid> processOf(AtspiAccessible* application) {
  GErrorSlot error;
  const guint pid = atspi_accessible_get_process_id(application, error.out());
  if (error.failed()) return std::nullopt;
  return static_cast<Pid>(pid);
}

GObjectPtr<AtspiAccessible> applicationOf(Pid pid) {
  return findApplication([pid](AtspiAccessible* candidate) { return processOf(candidate) == pid; });
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
    GArray* matches = atspi_collection_get_matches(
        collection.get(), rule.get(), ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, error.out());
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
  // Toolkits without collections: walk the tree, breadth first, within a bound. Subtrees not
  // on screen are passed over, except where the toolkit marks only its windows as showing
  // (GTK 4).
  const bool showingMarked = !isGtk4(application);
  std::deque<GObjectPtr<AtspiAccessible>> pending;
  pending.emplace_back(
      GObjectPtr<AtspiAccessible>(static_cast<AtspiAccessible*>(g_object_ref(application))));
  for (int walked = 0; !pending.empty() && walked < kMaxWalkedNodes; ++walked) {
    GObjectPtr<AtspiAccessible> node = std::move(pending.front());
    pending.pop_front();
    GObjectPtr<AtspiStateSet> states(atspi_accessible_get_state_set(node.get()));
    if (!states) return nullptr;
    if (walked > 0 && atspi_state_set_contains(states.get(), ATSPI_STATE_FOCUSED)) return node;
    if (walked > 0 && showingMarked &&
        !atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING)) {
      continue;
    }
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

ObjectId idOf(AtspiAccessible* accessible) {
  ObjectId id;
  if (accessible == nullptr) return id;
  const AtspiObject* object = ATSPI_OBJECT(accessible);
  if (object->app != nullptr && object->app->bus_name != nullptr)
    id.busName = object->app->bus_name;
  if (object->path != nullptr) id.path = object->path;
  return id;
}

std::optional<TextState> textState(AtspiAccessible* control) {
  GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(control));
  if (!text) return std::nullopt;
  GErrorSlot error;
  GCharPtr all(atspi_text_get_text(text.get(), 0, -1, error.out()));
  if (error.failed() || !all) return std::nullopt;
  TextState state{text::toUtf16(all.get()), 0, 0};
  const gint selections = atspi_text_get_n_selections(text.get(), error.out());
  if (error.failed()) return std::nullopt;
  if (selections > 0) {
    std::unique_ptr<AtspiRange, GFree> range(atspi_text_get_selection(text.get(), 0, error.out()));
    if (error.failed() || !range) return std::nullopt;
    state.start = std::min(range->start_offset, range->end_offset);
    state.end = std::max(range->start_offset, range->end_offset);
    // Chromium counts selection offsets short after a character outside the BMP, while its caret
    // is right: a selection whose ends do not meet the caret is not trusted there, and no
    // selection is better than the wrong one.
    if (toolkitIs(control, "Chromium")) {
      const gint caret = atspi_text_get_caret_offset(text.get(), error.out());
      if (error.failed() || (caret != state.start && caret != state.end)) return std::nullopt;
    }
  } else {
    state.start = state.end = atspi_text_get_caret_offset(text.get(), error.out());
    if (error.failed()) return std::nullopt;
  }
  return state;
}

bool showsExactly(AtspiAccessible* control, std::u16string_view value, int64_t start, int64_t end) {
  const auto state = textState(fresh(control));
  return state && state->text == value && state->start == start && state->end == end;
}

}  // namespace desktop::atspi

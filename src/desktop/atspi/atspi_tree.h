// Questions to the accessibility tree that both reading and typing ask: which application is in
// front, which control has the focus in it, what a text control shows. On the GLib thread only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "desktop/atspi/gobject_handles.h"
#include "desktop/desktop.h"

namespace desktop::atspi {

// Drops what libatspi cached of this object and its descendants: the next read asks the
// application.
AtspiAccessible* fresh(AtspiAccessible* accessible);

bool hasState(AtspiAccessible* accessible, AtspiStateType state);

// Whether the application of this object names its toolkit so ("GTK", "Qt", "Gecko", "Chromium").
bool toolkitIs(AtspiAccessible* accessible, std::string_view name);

// The application that has an active window, and the one with this process id.
GObjectPtr<AtspiAccessible> frontApplication();
GObjectPtr<AtspiAccessible> applicationOf(Pid pid);
std::optional<Pid> processOf(AtspiAccessible* application);

// The control that has the keyboard focus in this application, if any.
GObjectPtr<AtspiAccessible> focusedControl(AtspiAccessible* application);

// Whether two objects are the same control: the same bus name and object path.
struct ObjectId {
  std::string busName;
  std::string path;
  friend bool operator==(const ObjectId&, const ObjectId&) = default;
};
ObjectId idOf(AtspiAccessible* accessible);

// A text control's whole text and its first selection (or the caret as an empty one), in code
// points as AT-SPI counts them.
struct TextState {
  std::u16string text;
  int64_t start = 0;
  int64_t end = 0;
};
std::optional<TextState> textState(AtspiAccessible* control);

// Whether the control shows exactly `value` with [start, end) (code points) selected: nothing
// changed since the checks read it.
bool showsExactly(AtspiAccessible* control, std::u16string_view value, int64_t start, int64_t end);

}  // namespace desktop::atspi

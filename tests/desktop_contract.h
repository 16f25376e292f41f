// What the operations rely on from any desktop, as one table of cases. Each backend supplies a
// Stage that can arrange the situations; the same rows run against every backend there is.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "desktop/desktop.h"

namespace contract {

// Text controls: editable text of one or several lines, a password field, and controls that take
// text only as key presses (their accessible object has no editable-text interface).
enum class Kind { SingleLine, MultiLine, Password, KeysOnly, KeysOnlyMultiLine };

class Stage {
 public:
  virtual ~Stage() = default;
  virtual desktop::Desktop& desktop() = 0;
  // Brings the test application to the front with the focus in a control of this kind holding
  // `value`, with `selection` (UTF-16 code units) selected. Returns the application's pid.
  virtual desktop::Pid show(Kind kind, const std::u16string& value, desktop::Range selection) = 0;
  virtual std::u16string applicationName() = 0;
  // Moves the focus to another text control of the same application: as the application does
  // on its own, and as the user does, with a click.
  virtual void focusAnotherControl() = 0;
  virtual void clickAnotherControl() = 0;
  // Puts another application in front.
  virtual void bringAnotherApplicationToFront() = 0;
  // What the application itself says its controls hold (not what accessibility reads): the
  // control `show` focused, the other control of the same application, and the focused control
  // of the other application.
  virtual std::u16string shownText() = 0;
  virtual std::u16string anotherControlText() = 0;
  virtual std::u16string anotherApplicationText() = 0;
  // A process id that no running application has.
  virtual desktop::Pid absentPid() = 0;
};

using StageFactory = std::function<std::unique_ptr<Stage>()>;

struct Backend {
  std::string name;
  StageFactory make;
};

// The real Linux desktop of the session the tests run in; null without one.
std::unique_ptr<Stage> makeAtspiStage();

// Every backend available here; the simulated one always, the others when their desktop exists.
std::vector<Backend>& backends();

}  // namespace contract

// The desktop contract against the real Linux desktop: two instances of the GTK test application,
// driven over their standard input, on the session this test runs in (DISPLAY and the session
// bus). Without such a session every row is skipped.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "desktop/atspi/atspi_desktop.h"
#include "desktop_contract.h"
#include "text/unicode.h"

extern char** environ;

namespace contract {
namespace {

// One test application, its standard input and output held as pipes.
class TestApplication {
 public:
  explicit TestApplication(const std::string& name) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string script = std::string(SB_SOURCE_DIR) + "/tests/desktop/selection_test_app.py";
    const char* argv[] = {"/usr/bin/python3", script.c_str(), "--app-name", name.c_str(), nullptr};
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    ready_ = pid_ > 0 && readLine() == "READY";
  }
  ~TestApplication() {
    if (input_ >= 0) close(input_);
    if (output_ >= 0) close(output_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ready() const { return ready_; }

  nlohmann::json command(const nlohmann::json& command) {
    const std::string line = command.dump() + "\n";
    if (write(input_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return {};
    const std::string reply = readLine();
    return nlohmann::json::parse(reply, nullptr, false);
  }

 private:
  // One line of the application's output, waiting at most ten seconds.
  std::string readLine() {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return {};
      pollfd fd{output_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) return {};
      char c;
      if (read(output_, &c, 1) != 1) return {};
      if (c == '\n') return line;
      line += c;
    }
  }

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  bool ready_ = false;
};

class AtspiStage : public Stage {
 public:
  static std::unique_ptr<Stage> make() {
    // Only on the private desktop that tools/desktop_session.py starts: the tests switch
    // accessibility on, start applications and type, none of which a developer's own session
    // should see.
    if (std::getenv("SB_PRIVATE_DESKTOP") == nullptr || std::getenv("DISPLAY") == nullptr) {
      return nullptr;
    }
    auto stage = std::unique_ptr<AtspiStage>(new AtspiStage());
    if (!stage->desktop_->isProcessTrusted() || !stage->main_.ready()) return nullptr;
    return stage;
  }

  desktop::Desktop& desktop() override { return *desktop_; }

  desktop::Pid show(Kind kind, const std::u16string& value, desktop::Range selection) override {
    const char* names[] = {"single", "multi", "password", "typed", "typedmulti"};
    const auto start = text::countCodePoints(
        std::u16string_view(value).substr(0, static_cast<std::size_t>(selection.location)));
    const auto end = text::countCodePoints(std::u16string_view(value).substr(
        0, static_cast<std::size_t>(selection.location + selection.length)));
    const auto reply = main_.command({{"cmd", "show"},
                                      {"kind", names[static_cast<int>(kind)]},
                                      {"value", text::toUtf8(value)},
                                      {"start", start},
                                      {"end", end}});
    shown_ = names[static_cast<int>(kind)];
    return reply.is_object() ? reply.value("pid", 0) : 0;
  }
  std::u16string applicationName() override { return u"Contract"; }
  void focusAnotherControl() override {
    main_.command(
        {{"cmd", "show"}, {"kind", "other"}, {"value", "other"}, {"start", 0}, {"end", 0}});
  }
  void clickAnotherControl() override {
    const auto at = main_.command({{"cmd", "where"}, {"kind", "other"}});
    if (!at.is_object()) return;
    const std::string x = std::to_string(at.value("x", 0)), y = std::to_string(at.value("y", 0));
    const char* argv[] = {
        "/usr/bin/xdotool", "mousemove", x.c_str(), y.c_str(), "click", "1", nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) == 0) {
      waitpid(pid, nullptr, 0);
    }
  }
  void bringAnotherApplicationToFront() override {
    if (!other_) other_ = std::make_unique<TestApplication>("Elsewhere");
    other_->command({{"cmd", "present"}});
  }
  desktop::Pid absentPid() override { return 2147483000; }
  std::u16string shownText() override { return textOf(main_, shown_); }
  std::u16string anotherControlText() override { return textOf(main_, "other"); }
  std::u16string anotherApplicationText() override {
    return other_ ? textOf(*other_, "single") : u"";
  }

 private:
  AtspiStage() : desktop_(desktop::atspi::makeAtspiDesktop()), main_("Contract") {}

  static std::u16string textOf(TestApplication& application, const std::string& control) {
    const auto texts = application.command({{"cmd", "texts"}});
    if (!texts.is_object() || !texts.contains(control)) return u"<none>";
    return text::toUtf16(texts[control].get<std::string>());
  }

  std::string shown_ = "single";
  std::unique_ptr<desktop::Desktop> desktop_;
  TestApplication main_;
  std::unique_ptr<TestApplication> other_;
};

}  // namespace

std::unique_ptr<Stage> makeAtspiStage() { return AtspiStage::make(); }

}  // namespace contract

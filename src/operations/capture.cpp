#include "operations/capture.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "desktop/accessibility.h"
#include "text/unicode.h"

namespace operations {

std::optional<std::string> newToken() {
  std::array<uint8_t, 16> bytes;
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    filled += static_cast<std::size_t>(got);
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  char out[37];
  std::snprintf(out, sizeof out,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return std::string(out, 36);
}

JsonObject capture(desktop::Desktop& desktop) {
  // Emptied before any check, so every refusal leaves nothing to insert into.
  target.reset();
  if (!desktop.isProcessTrustedWithPrompt()) return refusal("permission_required");

  const auto application = desktop::frontmostApplication(desktop);
  if (!application) return refusal("unavailable");
  desktop::ElementRef element = desktop::focused(desktop, application->pid);
  if (!element) return refusal("unavailable");

  const auto subrole = desktop::stringAttribute(desktop, *element, "AXSubrole");
  if (subrole && text::canonicallyEqual(*subrole, u"AXSecureTextField")) {
    return refusal("unsafe_input");
  }

  auto token = newToken();
  if (!token) return refusal("unavailable");
  Target& stored =
      target.emplace(Target{*token, std::move(element), application->pid, desktop.now(), {}, {}});

  stored.selectedText =
      desktop::stringAttribute(desktop, *stored.element, "AXSelectedText").value_or(u"");
  const auto range = desktop::attribute(desktop, *stored.element, "AXSelectedTextRange");
  if (const auto* v = range ? std::get_if<desktop::AccessibilityValue>(&*range) : nullptr;
      v != nullptr && v->type == desktop::AccessibilityValue::kRangeType) {
    stored.selection = v->range;
  }
  const std::u16string name = application->name.value_or(kUnnamedApplication);
  const std::u16string_view cut =
      text::firstGraphemes(stored.selectedText, kMaxSelectedTextGraphemes);

  return {{"ok", true},
          {"target",
           {{"token", stored.token},
            {"appName", text::toUtf8(name)},
            {"selectedText", text::toUtf8(cut)}}}};
}

}  // namespace operations

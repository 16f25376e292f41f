// Unicode questions the system asks, answered by ICU. Desktop text is UTF-16 (possibly with lone
// surrogates); wire text is UTF-8. Nothing outside this folder includes an ICU header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace text {

// Bytes read from the parent: every ill-formed sequence becomes U+FFFD (maximal subparts).
std::string wellFormedUtf8(std::string_view bytes);
bool isWellFormedUtf8(std::string_view bytes);

// Well-formed UTF-8 to UTF-16; any ill-formed input is substituted with U+FFFD.
std::u16string toUtf16(std::string_view utf8);

// UTF-16 to well-formed UTF-8: an unpaired surrogate becomes U+FFFD, so text that comes from the
// desktop can always be written on the wire.
std::string toUtf8(std::u16string_view utf16);

// The number of extended grapheme clusters in `utf8`, counted no further than `limit`: a result of
// `limit` means "at least limit".
std::size_t countGraphemes(std::string_view utf8, std::size_t limit);

// The first `count` extended grapheme clusters of `utf16` (the whole text when it has fewer).
std::u16string_view firstGraphemes(std::u16string_view utf16, std::size_t count);

// The canonical decomposition (NFD); an unpaired surrogate stays as it is.
std::u16string decomposed(std::u16string_view utf16);

// Canonical equivalence: equal canonical decompositions. No case folding, no trimming.
bool canonicallyEqual(std::u16string_view a, std::u16string_view b);
bool canonicallyEqual(std::string_view utf8a, std::string_view utf8b);

// True when every character is in the whitespace-and-newline set (general category Z, U+0009 to
// U+000D, U+0085); so true for the empty text.
bool isBlank(std::u16string_view utf16);

// The UTF-16 offset of the code point at index `codePoints` (clamped to the end of the text).
std::size_t utf16OffsetOfCodePoint(std::u16string_view utf16, int64_t codePoints);

// The number of code points in `utf16` (an unpaired surrogate counts as one).
std::size_t countCodePoints(std::u16string_view utf16);

// The code points of `utf16`; an unpaired surrogate becomes U+FFFD.
std::u32string toCodePoints(std::u16string_view utf16);

// The UTF-16 form of these code points; one that is not a scalar value becomes U+FFFD.
std::u16string fromCodePoints(std::u32string_view codePoints);

}  // namespace text

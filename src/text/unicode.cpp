#include "text/unicode.h"

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>

namespace text {
namespace {

// Creating a character break iterator loads rule data; the worker asks for one per request, so
// each thread keeps its own.
icu::BreakIterator* characterBreaks() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> created(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) created.reset();
    return created;
  }();
  return iterator.get();
}

struct UTextCloser {
  void operator()(UText* t) const { utext_close(t); }
};
using UTextHandle = std::unique_ptr<UText, UTextCloser>;

// Counts boundaries after the start of `utext`, stopping at `limit`.
std::size_t countClusters(UText* utext, std::size_t limit, int64_t* endOfLast) {
  *endOfLast = 0;
  icu::BreakIterator* breaks = characterBreaks();
  if (breaks == nullptr) return 0;
  UErrorCode status = U_ZERO_ERROR;
  breaks->setText(utext, status);
  if (U_FAILURE(status)) return 0;
  std::size_t count = 0;
  for (int32_t at = breaks->first(); count < limit; ++count) {
    at = breaks->next();
    if (at == icu::BreakIterator::DONE) break;
    *endOfLast = at;
  }
  // The iterator keeps a pointer to the text; leave it pointing at nothing that can dangle.
  breaks->setText(icu::UnicodeString());
  return count;
}

bool isWhitespaceOrNewline(UChar32 c) {
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  const int8_t type = u_charType(c);
  return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

}  // namespace

namespace {

// The length of the well-formed prefix of `bytes`.
int64_t wellFormedPrefix(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const int64_t length = static_cast<int64_t>(bytes.size());
  int64_t clean = 0;
  for (int64_t i = 0; i < length; clean = i) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) break;
  }
  return clean;
}

}  // namespace

bool isWellFormedUtf8(std::string_view bytes) {
  return wellFormedPrefix(bytes) == static_cast<int64_t>(bytes.size());
}

std::string wellFormedUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  const int64_t length = static_cast<int64_t>(bytes.size());
  // Most lines are well-formed: find the first bad sequence before copying anything.
  const int64_t clean = wellFormedPrefix(bytes);
  if (clean == length) return std::string(bytes);
  std::string out(bytes.substr(0, static_cast<std::size_t>(clean)));
  out.reserve(bytes.size() + 16);
  for (int64_t i = clean; i < length;) {
    const int64_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(bytes.data() + start, static_cast<std::size_t>(i - start));
    }
  }
  return out;
}

std::u16string toUtf16(std::string_view utf8) {
  if (utf8.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) return {};
  std::u16string out(utf8.size(), u'\0');
  int32_t written = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &written, utf8.data(),
                       static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<std::size_t>(written));
  return out;
}

std::string toUtf8(std::u16string_view utf16) {
  if (utf16.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max() / 3)) return {};
  std::string out(utf16.size() * 3, '\0');
  int32_t written = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &written, utf16.data(),
                     static_cast<int32_t>(utf16.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<std::size_t>(written));
  return out;
}

std::size_t countGraphemes(std::string_view utf8, std::size_t limit) {
  UErrorCode status = U_ZERO_ERROR;
  UTextHandle utext(
      utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status));
  if (U_FAILURE(status)) return 0;
  int64_t end;
  return countClusters(utext.get(), limit, &end);
}

std::u16string_view firstGraphemes(std::u16string_view utf16, std::size_t count) {
  UErrorCode status = U_ZERO_ERROR;
  UTextHandle utext(
      utext_openUChars(nullptr, utf16.data(), static_cast<int64_t>(utf16.size()), &status));
  if (U_FAILURE(status)) return utf16;
  int64_t end;
  if (countClusters(utext.get(), count, &end) < count) return utf16;
  return utf16.substr(0, static_cast<std::size_t>(end));
}

namespace {

const icu::Normalizer2* nfdInstance() {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  return U_SUCCESS(status) ? nfd : nullptr;
}

// Whether text before index `i` and text from it on decompose independently.
bool boundaryAt(const icu::Normalizer2& nfd, std::u16string_view s, std::size_t i) {
  if (i == 0 || i >= s.size()) return true;
  if (U16_IS_TRAIL(s[i]) && U16_IS_LEAD(s[i - 1])) return false;  // inside a surrogate pair
  UChar32 c = s[i];
  if (U16_IS_LEAD(s[i]) && i + 1 < s.size() && U16_IS_TRAIL(s[i + 1])) {
    c = U16_GET_SUPPLEMENTARY(s[i], s[i + 1]);
  }
  return nfd.hasBoundaryBefore(c);
}

}  // namespace

std::u16string decomposed(std::u16string_view utf16) {
  const icu::Normalizer2* nfd = nfdInstance();
  if (nfd == nullptr) return std::u16string(utf16);
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString source(false, utf16.data(), static_cast<int32_t>(utf16.size()));
  const icu::UnicodeString result = nfd->normalize(source, status);
  if (U_FAILURE(status)) return std::u16string(utf16);
  return std::u16string(result.getBuffer(), static_cast<std::size_t>(result.length()));
}

bool canonicallyEqual(std::u16string_view a, std::u16string_view b) {
  if (a == b) return true;
  const icu::Normalizer2* nfd = nfdInstance();
  if (nfd == nullptr) return false;
  // Only the part where the texts differ needs decomposing: a value of a million units with a
  // short edit costs as much as the edit. The identical prefix and suffix are cut at places
  // where normalisation cannot reach across.
  const std::size_t shorter = std::min(a.size(), b.size());
  std::size_t prefix = 0;
  while (prefix < shorter && a[prefix] == b[prefix]) ++prefix;
  while (prefix > 0 && !(boundaryAt(*nfd, a, prefix) && boundaryAt(*nfd, b, prefix))) --prefix;
  std::size_t suffix = 0;
  while (suffix < shorter - prefix && a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix]) {
    ++suffix;
  }
  while (suffix > 0 &&
         !(boundaryAt(*nfd, a, a.size() - suffix) && boundaryAt(*nfd, b, b.size() - suffix))) {
    --suffix;
  }
  const std::u16string_view left = a.substr(prefix, a.size() - suffix - prefix);
  const std::u16string_view right = b.substr(prefix, b.size() - suffix - prefix);
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString leftText(false, left.data(), static_cast<int32_t>(left.size()));
  const icu::UnicodeString rightText(false, right.data(), static_cast<int32_t>(right.size()));
  if (nfd->isNormalized(leftText, status) && nfd->isNormalized(rightText, status) &&
      U_SUCCESS(status)) {
    return false;  // both already decomposed, and not identical
  }
  status = U_ZERO_ERROR;
  const icu::UnicodeString leftNfd = nfd->normalize(leftText, status);
  const icu::UnicodeString rightNfd = nfd->normalize(rightText, status);
  return U_SUCCESS(status) && leftNfd == rightNfd;
}

bool canonicallyEqual(std::string_view utf8a, std::string_view utf8b) {
  if (utf8a == utf8b) return true;
  // ASCII text is its own decomposition; operation names and tokens are ASCII.
  const auto ascii = [](std::string_view s) {
    for (const char c : s) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
  };
  if (ascii(utf8a) && ascii(utf8b)) return false;
  return canonicallyEqual(toUtf16(utf8a), toUtf16(utf8b));
}

bool isBlank(std::u16string_view utf16) {
  const int64_t length = static_cast<int64_t>(utf16.size());
  for (int64_t i = 0; i < length;) {
    UChar32 c;
    U16_NEXT(utf16.data(), i, length, c);
    if (!isWhitespaceOrNewline(c)) return false;
  }
  return true;
}

std::size_t utf16OffsetOfCodePoint(std::u16string_view utf16, int64_t codePoints) {
  if (codePoints <= 0) return 0;
  const int64_t length = static_cast<int64_t>(utf16.size());
  int64_t offset = 0;
  const auto n = static_cast<int32_t>(std::min<int64_t>(codePoints, length));
  U16_FWD_N(utf16.data(), offset, length, n);
  return static_cast<std::size_t>(offset);
}

std::size_t countCodePoints(std::u16string_view utf16) {
  if (utf16.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) return 0;
  return static_cast<std::size_t>(u_countChar32(utf16.data(), static_cast<int32_t>(utf16.size())));
}

std::u32string toCodePoints(std::u16string_view utf16) {
  if (utf16.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) return {};
  std::u32string out(utf16.size(), U'\0');
  int32_t written = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF32WithSub(reinterpret_cast<UChar32*>(out.data()), static_cast<int32_t>(out.size()),
                      &written, utf16.data(), static_cast<int32_t>(utf16.size()), 0xFFFD, nullptr,
                      &status);
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<std::size_t>(written));
  return out;
}

std::u16string fromCodePoints(std::u32string_view codePoints) {
  std::u16string out;
  out.reserve(codePoints.size());
  for (const char32_t c : codePoints) {
    UChar units[U16_MAX_LENGTH];
    int32_t length = 0;
    const bool scalar = c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
    U16_APPEND_UNSAFE(units, length, scalar ? static_cast<UChar32>(c) : 0xFFFD);
    out.append(reinterpret_cast<const char16_t*>(units), static_cast<std::size_t>(length));
  }
  return out;
}

}  // namespace text

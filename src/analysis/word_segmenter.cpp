#include "analysis/word_segmenter.hpp"

#include <unicode/parseerr.h>
#include <unicode/rbbi.h>
#include <unicode/utext.h>

#include <cassert>
#include <cstdlib>
#include <new>

namespace tarnwick::analysis {

namespace {

// The annex's rules in ICU's rule syntax. A rule is a sequence that is never broken inside;
// with chaining, a match may continue into another rule's match that starts on its last
// character. A rule marked '^' only starts right after a boundary. Where no rule matches, '.'
// makes a segment of one character. Each group below is one rule of the annex; WB4 (ignore
// Extend, Format and ZWJ after anything but a line break) appears as "$Ignorable*" after each
// character a rule names.
constexpr char16_t kRules[] = uR"(
!!chain;
!!quoted_literals_only;

$CR           = [\p{Word_Break = CR}];
$LF           = [\p{Word_Break = LF}];
$Newline      = [\p{Word_Break = Newline}];
$Extend       = [\p{Word_Break = Extend}];
$ZWJ          = [\p{Word_Break = ZWJ}];
$RI           = [\p{Word_Break = Regional_Indicator}];
$Format       = [\p{Word_Break = Format}];
$Katakana     = [\p{Word_Break = Katakana}];
$HebrewLetter = [\p{Word_Break = Hebrew_Letter}];
$ALetter      = [\p{Word_Break = ALetter}];
$SingleQuote  = [\p{Word_Break = Single_Quote}];
$DoubleQuote  = [\p{Word_Break = Double_Quote}];
$MidNumLet    = [\p{Word_Break = MidNumLet}];
$MidLetter    = [\p{Word_Break = MidLetter}];
$MidNum       = [\p{Word_Break = MidNum}];
$Numeric      = [\p{Word_Break = Numeric}];
$ExtendNumLet = [\p{Word_Break = ExtendNumLet}];
$WSegSpace    = [\p{Word_Break = WSegSpace}];
$ExtPict      = [\p{Extended_Pictographic}];

$AHLetter     = [$ALetter $HebrewLetter];
$MidNumLetQ   = [$MidNumLet $SingleQuote];
$Ignorable    = [$Extend $Format $ZWJ];

# WB3
$CR $LF;

# WB3c, WB3d
$ZWJ $ExtPict;
$WSegSpace $WSegSpace;

# WB4; at the start of text or after a line break, ignorables only group among themselves.
^$Ignorable+;
[^$CR $LF $Newline $Ignorable] $Ignorable*;

# WB5, WB6, WB7
$AHLetter $Ignorable* $AHLetter;
$AHLetter $Ignorable* ($MidLetter | $MidNumLetQ) $Ignorable* $AHLetter;

# WB7a, WB7b, WB7c
$HebrewLetter $Ignorable* $SingleQuote;
$HebrewLetter $Ignorable* $DoubleQuote $Ignorable* $HebrewLetter;

# WB8, WB9, WB10, WB11, WB12
$Numeric $Ignorable* $Numeric;
$AHLetter $Ignorable* $Numeric;
$Numeric $Ignorable* $AHLetter;
$Numeric $Ignorable* ($MidNum | $MidNumLetQ) $Ignorable* $Numeric;

# WB13, WB13a, WB13b
$Katakana $Ignorable* $Katakana;
[$AHLetter $Numeric $Katakana $ExtendNumLet] $Ignorable* $ExtendNumLet;
$ExtendNumLet $Ignorable* [$AHLetter $Numeric $Katakana];

# WB15, WB16: regional indicators pair up from the start of their run.
^$RI $Ignorable* $RI;

# WB999
.;
)";

// On valid arguments the ICU calls made here fail only for lack of memory; anything else means
// the rules above do not compile, which the tests rule out.
void require(UErrorCode status) {
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status)) std::abort();
}

// The compiled rules, shared by all segmenters: each one clones the iterator, which shares the
// rule tables and takes microseconds where compiling takes about 7 ms. The prototype is never
// given text; it is only cloned.
const icu::RuleBasedBreakIterator& prototype() {
  static const std::unique_ptr<const icu::RuleBasedBreakIterator> compiled = [] {
    UParseError where;
    UErrorCode status = U_ZERO_ERROR;
    auto iterator =
        std::make_unique<icu::RuleBasedBreakIterator>(icu::UnicodeString(kRules), where, status);
    require(status);
    return iterator;
  }();
  return *compiled;
}

// Where to end the next piece of `rest`, which is longer than `window` bytes: just after the
// last line feed within the window, or else at the last character start inside it.
size_t piece_end(std::string_view rest, size_t window) {
  const size_t line_feed = rest.substr(0, window).rfind('\n');
  if (line_feed != std::string_view::npos) return line_feed + 1;
  size_t end = window;
  // A UTF-8 sequence has at most three continuation bytes.
  while (end > window - 3 && (static_cast<uint8_t>(rest[end]) & 0xC0) == 0x80) --end;
  return end;
}

}  // namespace

WordSegmenter::WordSegmenter(size_t window)
    : iterator_(prototype().clone()), window_(window) {
  assert(window >= 4 && window <= kMaxWindow);
  if (iterator_ == nullptr) throw std::bad_alloc();
}

WordSegmenter::~WordSegmenter() = default;
WordSegmenter::WordSegmenter(WordSegmenter&&) noexcept = default;
WordSegmenter& WordSegmenter::operator=(WordSegmenter&&) noexcept = default;

void WordSegmenter::for_each_segment(std::string_view text,
                                     absl::FunctionRef<void(std::string_view)> visit) {
  while (text.size() > window_) {
    const size_t end = piece_end(text, window_);
    segment_piece(text.substr(0, end), visit);
    text.remove_prefix(end);
  }
  if (!text.empty()) segment_piece(text, visit);
}

void WordSegmenter::segment_piece(std::string_view piece,
                                  absl::FunctionRef<void(std::string_view)> visit) {
  UErrorCode status = U_ZERO_ERROR;
  UText text = UTEXT_INITIALIZER;
  utext_openUTF8(&text, piece.data(), static_cast<int64_t>(piece.size()), &status);
  require(status);
  // The iterator keeps a shallow clone, so `text` can be closed at once.
  iterator_->setText(&text, status);
  utext_close(&text);
  require(status);
  int32_t start = iterator_->first();
  for (int32_t end = iterator_->next(); end != icu::BreakIterator::DONE;
       start = end, end = iterator_->next()) {
    visit(piece.substr(start, end - start));
  }
}

}  // namespace tarnwick::analysis

// The a2x_meta.json scanner: keys are looked up in the text, not parsed as a
// JSON document, so a bundle's meta may carry anything else around them.
#pragma once

#include <string>

namespace le::a2x {

// The integer after "key" and the next ':' (blanks skipped, base 10). False
// when the key, the ':' or the digits are missing; values beyond the range
// of long long saturate.
bool metaInt(const std::string& text, const char* key, long long* out);

// The flag after "key" and ':' (blanks and tabs skipped): true / false, or an
// integer (non-zero = 1). -1 when missing or unreadable.
int metaFlag(const std::string& text, const char* key);

// How many times "key" stands as a key (followed by ':') in the text.
int metaKeyCount(const std::string& text, const char* key);

// The meta's counts, checked (a key given twice is refused: readers would
// disagree on which one counts): h 1..4096, window and left 0..512 (required),
// layers 1..64, (window + left) x layers at most 2048 frames. Throws the
// creation message otherwise.
struct Meta {
  int h = 256, window = 0, left = 0, layers = 6;
  int width = 0;            // the "width" flag (missing: 0)
  long long silencePrime = 0;
};
Meta parseMeta(const std::string& text);

}  // namespace le::a2x

// The small JSON reader of the mouth bank: the manifest, the bank sidecar and
// the head config are read with it. It is lenient where the bank builder's
// files never go (a missing colon, text after the value) and strict where a
// wrong reading would mis-place a mouth.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace le::tessera {

// The twelve integers of a geometry stamp, in key order.
constexpr int kStampKeys = 12;
extern const std::array<const char*, kStampKeys> kStampKeyNames;
using Stamp = std::array<int32_t, kStampKeys>;

// "{canvas_w=512, canvas_h=512, ..., shift_margin=4}".
std::string stampStr(const Stamp& stamp);

namespace json {

struct JVal {
  enum Kind : int { Null = 0, Bool = 1, Num = 2, Str = 3, Arr = 4, Obj = 5 };
  Kind kind = Null;
  bool b = false;
  double num = 0;
  std::string str;
  // Array elements, or object values with their keys beside them (an object
  // keeps duplicate keys; lookups take the first).
  std::vector<JVal> items;
  std::vector<std::string> keys;

  bool isObj() const { return kind == Obj; }
  bool isArr() const { return kind == Arr; }
  // The first member named `key`; null when absent or this is no object.
  const JVal* get(const std::string& key) const;
  // The member `key` when it is an object, else null.
  const JVal* obj(const std::string& key) const;
  const JVal* arr(const std::string& key) const;
};

// Nesting deeper than this is refused instead of recursing on.
constexpr int kMaxDepth = 256;

class JParser {
 public:
  // The text must outlive the parser; numbers are read up to its terminator.
  explicit JParser(const std::string& text) : p_(text.data()), end_(text.data() + text.size()) {}

  JVal val();
  JVal objv();
  JVal arrv();
  JVal strv();
  void skipWs();
  const char* cursor() const { return p_; }

 private:
  const char* p_;
  const char* end_;
  int depth_ = 0;
};

// One value from `text` (leading whitespace skipped, anything after the value
// ignored). Failures read "teeth: <label> is not readable JSON: <reason>".
JVal parseJson(const std::string& text, const std::string& label);

// The number member `key`, or "teeth: <context> lacks numeric '<key>'".
double reqNum(const JVal& object, const std::string& key, const std::string& context);
// The string member `key`, or `fallback` (also when `object` is no object).
std::string optStr(const JVal& object, const std::string& key, const std::string& fallback);

// A JSON number as an integer: truncated toward zero, NaN as 0, and
// saturated at the int32 range (a hostile 1e30 must not be undefined).
int32_t truncInt(double v);

}  // namespace json
}  // namespace le::tessera

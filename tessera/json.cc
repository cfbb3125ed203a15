#include "tessera/json.h"

#include <locale.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace le::tessera {

const std::array<const char*, kStampKeys> kStampKeyNames = {
    "canvas_w", "canvas_h", "window_x0", "window_y0", "window_w",     "window_h",
    "pad",      "band_r0",  "band_r1",   "band_c0",   "band_c1",      "shift_margin"};

std::string stampStr(const Stamp& stamp) {
  std::string s = "{";
  for (int i = 0; i < kStampKeys; ++i) {
    if (i) s += ", ";
    s += kStampKeyNames[i];
    s += '=';
    s += std::to_string(stamp[i]);
  }
  return s + "}";
}

namespace json {
namespace {

[[noreturn]] void fail(const char* text) { throw std::runtime_error(text); }

bool isWs(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool startsWith(const char* p, const char* end, const char* word, size_t n) {
  return static_cast<size_t>(end - p) >= n && std::equal(word, word + n, p);
}

// Numbers are read in the C locale whatever the host process set.
locale_t cLocale() {
  static const locale_t loc = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

// Keeps the nesting depth while an object or array is read.
class Nest {
 public:
  explicit Nest(int& depth) : depth_(depth) {
    if (++depth_ > kMaxDepth) {
      --depth_;
      fail("teeth: JSON nested too deeply");
    }
  }
  ~Nest() { --depth_; }
  Nest(const Nest&) = delete;
  Nest& operator=(const Nest&) = delete;

 private:
  int& depth_;
};

}  // namespace

const JVal* JVal::get(const std::string& key) const {
  if (kind != Obj) return nullptr;
  for (size_t i = 0; i < keys.size(); ++i)
    if (keys[i] == key) return &items[i];
  return nullptr;
}

const JVal* JVal::obj(const std::string& key) const {
  const JVal* v = get(key);
  return v && v->kind == Obj ? v : nullptr;
}

const JVal* JVal::arr(const std::string& key) const {
  const JVal* v = get(key);
  return v && v->kind == Arr ? v : nullptr;
}

void JParser::skipWs() {
  while (p_ < end_ && isWs(*p_)) ++p_;
}

JVal JParser::val() {
  skipWs();
  if (p_ >= end_) fail("teeth: JSON truncated");
  if (*p_ == '{') return objv();
  if (*p_ == '[') return arrv();
  if (*p_ == '"') return strv();
  JVal v;
  if (startsWith(p_, end_, "true", 4)) {
    v.kind = JVal::Bool, v.b = true, p_ += 4;
  } else if (startsWith(p_, end_, "false", 5)) {
    v.kind = JVal::Bool, p_ += 5;
  } else if (startsWith(p_, end_, "null", 4)) {
    p_ += 4;
  } else {
    // The text ends in its terminator, so the conversion stops inside it.
    char* stop = nullptr;
    v.num = strtod_l(p_, &stop, cLocale());
    if (stop == p_ || stop > end_) fail("teeth: bad JSON number");
    v.kind = JVal::Num;
    p_ = stop;
  }
  return v;
}

JVal JParser::strv() {
  JVal v;
  v.kind = JVal::Str;
  ++p_;  // the opening quote
  while (p_ < end_) {
    const char c = *p_++;
    if (c == '"') return v;
    if (c != '\\') {
      v.str += c;
      continue;
    }
    if (p_ >= end_) break;
    const char e = *p_++;
    switch (e) {
      case 'b': v.str += '\b'; break;
      case 'f': v.str += '\f'; break;
      case 'n': v.str += '\n'; break;
      case 'r': v.str += '\r'; break;
      case 't': v.str += '\t'; break;
      case 'u':
        // The backslash plus "uXXXX": five bytes after the backslash.
        if (end_ - p_ >= 4) p_ += 4;
        v.str += '?';
        break;
      default: v.str += e;
    }
  }
  return v;
}

JVal JParser::arrv() {
  Nest nest(depth_);
  JVal v;
  v.kind = JVal::Arr;
  ++p_;
  skipWs();
  if (p_ < end_ && *p_ == ']') {
    ++p_;
    return v;
  }
  for (;;) {
    v.items.push_back(val());
    skipWs();
    if (p_ < end_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      return v;
    }
    fail("teeth: malformed JSON array");
  }
}

JVal JParser::objv() {
  Nest nest(depth_);
  JVal v;
  v.kind = JVal::Obj;
  ++p_;
  skipWs();
  if (p_ < end_ && *p_ == '}') {
    ++p_;
    return v;
  }
  for (;;) {
    skipWs();
    // A key that does not open with a quote loses its first byte, as any
    // string does; the bank builder always quotes its keys.
    std::string key = p_ < end_ ? strv().str : std::string();
    skipWs();
    if (p_ < end_ && *p_ == ':') ++p_;
    JVal item = val();
    v.keys.push_back(std::move(key));
    v.items.push_back(std::move(item));
    skipWs();
    if (p_ < end_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return v;
    }
    fail("teeth: malformed JSON object");
  }
}

JVal parseJson(const std::string& text, const std::string& label) {
  try {
    JParser p(text);
    p.skipWs();
    return p.val();
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("teeth: " + label + " is not readable JSON: " + e.what());
  }
}

double reqNum(const JVal& object, const std::string& key, const std::string& context) {
  const JVal* v = object.get(key);
  if (!v || v->kind != JVal::Num) throw std::runtime_error("teeth: " + context + " lacks numeric '" + key + "'");
  return v->num;
}

std::string optStr(const JVal& object, const std::string& key, const std::string& fallback) {
  const JVal* v = object.get(key);
  return v && v->kind == JVal::Str ? v->str : fallback;
}

int32_t truncInt(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

}  // namespace json
}  // namespace le::tessera

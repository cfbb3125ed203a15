#include "core/manifest.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "core/bundle.h"
#include "core/log.h"

namespace le {
namespace {

constexpr uint64_t kManifestLimit = 64ull << 20;
constexpr const char* kDash = "\xE2\x80\x94";  // U+2014

[[noreturn]] void fail(const std::string& text) { throw std::runtime_error(text); }

bool blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Manifests are parsed with the C locale whatever the host process set.
double parseNumber(const char* p) {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return c ? strtod_l(p, nullptr, c) : std::strtod(p, nullptr);
}

std::string ambiguity(const std::string& key, const std::vector<size_t>& listed) {
  std::string list;
  for (size_t i = 0; i < listed.size(); ++i) {
    if (i) list += ", ";
    list += "byte " + std::to_string(listed[i]);
  }
  return "manifest: key \"" + key + "\" is AMBIGUOUS " + kDash + " " + std::to_string(listed.size()) +
         " scalar occurrences (" + list +
         "). A loader that picks one silently installs a number nobody checks. Rename the colliding key "
         "(a nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, "
         "crop/crop_size, amount, sigma, ksize, frames, M_src_w/paste_source_width, "
         "M_src_h/paste_source_height), or produce the bundle with the legacy manifest layout.";
}

float toFloat(double v, const std::string& key) {
  if (std::isfinite(v) && std::fabs(v) > FLT_MAX)
    fail("manifest: value of " + key + " is out of range for a float");
  return static_cast<float>(v);
}

}  // namespace

namespace manifest_key {

std::vector<KeyHit> keyHits(const std::string& t, const std::string& key) {
  std::vector<KeyHit> hits;
  const size_t n = t.size();
  int64_t depth = 0;
  size_t i = 0;
  while (i < n) {
    const char c = t[i];
    if (c == '[' || c == '{') {
      ++depth;
      ++i;
      continue;
    }
    if (c == ']' || c == '}') {
      --depth;
      ++i;
      continue;
    }
    if (c != '"') {
      ++i;
      continue;
    }
    const size_t begin = i + 1;
    size_t j = begin;
    while (j < n && t[j] != '"') j += t[j] == '\\' ? 2 : 1;
    if (j >= n) break;  // unterminated string: nothing after it is a key
    size_t k = j + 1;
    while (k < n && blank(t[k])) ++k;
    if (k < n && t[k] == ':' && j - begin == key.size() && t.compare(begin, key.size(), key) == 0) {
      size_t v = k + 1;
      while (v < n && blank(t[v])) ++v;
      const int32_t d = depth > INT32_MAX ? INT32_MAX : depth < INT32_MIN ? INT32_MIN : static_cast<int32_t>(depth);
      hits.push_back({v, d, v < n && t[v] != '[' && t[v] != '{'});
    }
    i = j + 1;
  }
  return hits;
}

size_t scalarValuePos(const std::string& text, const std::string& key) {
  std::vector<size_t> scalar, top;
  for (const KeyHit& h : keyHits(text, key)) {
    if (!h.scalar) continue;
    scalar.push_back(h.pos);
    if (h.depth == 1) top.push_back(h.pos);
  }
  if (top.size() == 1) return top[0];
  if (top.size() > 1) fail(ambiguity(key, top));
  if (scalar.size() == 1) return scalar[0];
  if (scalar.empty()) return kNotFound;
  fail(ambiguity(key, scalar));
}

}  // namespace manifest_key

namespace manifest_field {

using manifest_key::kNotFound;
using manifest_key::scalarValuePos;

double findKey(const std::string& text, const std::string& key) {
  const size_t pos = scalarValuePos(text, key);
  if (pos == kNotFound) fail("manifest: missing key " + key);
  return parseNumber(text.c_str() + pos);
}

double optNumEither(const std::string& text, const std::string& a, const std::string& b) {
  for (const std::string* k : {&a, &b}) {
    const size_t pos = scalarValuePos(text, *k);
    if (pos == kNotFound) continue;
    const double v = parseNumber(text.c_str() + pos);
    if (v != kAbsent) return v;
  }
  return kAbsent;
}

double numFieldEither(const std::string& text, const std::string& a, const std::string& b) {
  const double v = optNumEither(text, a, b);
  if (v == kAbsent) fail("manifest: missing key " + a + "/" + b);
  return v;
}

std::string strField(const std::string& text, const std::string& key) {
  const size_t pos = scalarValuePos(text, key);
  if (pos == kNotFound) fail("manifest: missing key " + key);
  const size_t open = text.find('"', pos);
  if (open == std::string::npos) fail("manifest: bad string " + key);
  const size_t close = text.find('"', open + 1);
  if (close == std::string::npos) fail("manifest: bad string " + key);
  return text.substr(open + 1, close - open - 1);
}

bool optStr(const std::string& text, const std::string& key, std::string& out) {
  const size_t pos = scalarValuePos(text, key);
  if (pos == kNotFound || pos >= text.size() || text[pos] != '"') return false;
  const size_t close = text.find('"', pos + 1);
  if (close == std::string::npos) return false;
  out = text.substr(pos + 1, close - pos - 1);
  return !out.empty();
}

int32_t toInt32(double v, const std::string& key) {
  // Truncation of a value outside the int32 range (or NaN) is undefined, and
  // no frame count or size of that order is meaningful.
  if (!(v > -2147483649.0 && v < 2147483648.0))
    fail("manifest: value of " + key + " is out of range for a 32-bit integer");
  return static_cast<int32_t>(v);
}

}  // namespace manifest_field

Manifest parseManifest(const std::string& dir, const std::string& text, bool msrcMissingOk) {
  using namespace manifest_field;
  Manifest m;
  m.dir = dir;
  if (strField(text, "format") != "le-bundle-v0") fail("not an le-bundle-v0: " + dir);
  m.agent = strField(text, "agent");
  m.nt = toInt32(numFieldEither(text, "NT", "frame_count"), "NT/frame_count");
  m.H = toInt32(findKey(text, "H"), "H");
  m.W = toInt32(findKey(text, "W"), "W");
  m.crop = toInt32(numFieldEither(text, "crop", "crop_size"), "crop/crop_size");
  m.unsharp.amount = toFloat(findKey(text, "amount"), "amount");
  m.unsharp.sigma = toFloat(findKey(text, "sigma"), "sigma");
  m.unsharp.ksize = toInt32(findKey(text, "ksize"), "ksize");
  m.frames = toInt32(findKey(text, "frames"), "frames");
  for (auto [key, field] : {std::pair{"target_frames", &m.targetFrames}, {"target_frames_mp4", &m.targetFramesMp4},
                             {"P_rgb", &m.pRgb}, {"P_hevc", &m.pHevc}}) {
    std::string name;
    if (!optStr(text, key, name)) continue;
    if (unsafeMemberName(name))
      fail(std::string("manifest: member name \"") + key + "\": \"" + name +
           "\" leaves the bundle (absolute or with \"..\"); name a file inside the bundle");
    *field = name;
  }
  if (m.nt < 1 || m.H < 1 || m.W < 1 || m.crop < 1) fail("manifest: bad dims");

  const double sw = optNumEither(text, "M_src_w", "paste_source_width");
  const double sh = optNumEither(text, "M_src_h", "paste_source_height");
  if (sw != kAbsent && sh != kAbsent) {
    m.msrcW = toInt32(sw, "M_src_w/paste_source_width");
    m.msrcH = toInt32(sh, "M_src_h/paste_source_height");
  } else {
    if (msrcMissingOk) {
      log::printf(log::kWarn,
                  "[le] WARNING OSTRANE2_MSRC_MISSING_OK=1: %s/manifest.json carries no paste-space stamp; "
                  "ASSUMING M was authored on this %dx%d canvas. If it was not, the face pastes off-target "
                  "(cx#144) and nothing will say so.\n",
                  dir.c_str(), m.W, m.H);
      m.msrcW = m.W;
      m.msrcH = m.H;
    } else {
      fail(dir + "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka "
                 "paste_source_width/height) " + kDash + " the canvas is " + std::to_string(m.W) + "x" +
           std::to_string(m.H) +
           ", so M cannot be placed: absence is not evidence that M was authored at that size. Re-stamp "
           "the bundle (models/ostrane-2/inference/backfill_msrc), or set OSTRANE2_MSRC_MISSING_OK=1 to "
           "restore the legacy assumption.");
    }
  }
  if (m.msrcW < 1 || m.msrcH < 1) fail("manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");
  return m;
}

Manifest loadManifest(const std::string& bundlePath, const BundleSettings& settings) {
  const std::string dir = resolveBundlePath(bundlePath, settings.unwrapRoot);
  Manifest m = parseManifest(dir, readWholeFile(dir + "/manifest.json", kManifestLimit), settings.msrcMissingOk);
  const std::string lip = resolveMember(dir, "lip_template.v1.json");
  const int fd = openRegularFile(lip);
  if (fd >= 0) {
    ::close(fd);
    m.lipTemplate = readWholeFile(lip, kManifestLimit);
  }
  return m;
}

std::string Manifest::modelPath(const std::string& key) const {
  return resolveMember(dir, "model_" + key + ".onnx");
}

}  // namespace le

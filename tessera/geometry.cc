#include "tessera/geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <numeric>
#include <stdexcept>

#include "core/framing.h"
#include "tessera/json.h"

namespace le::tessera {

const std::array<CorpusGeometry, 3> kCorpusGeometries = {
    {{"v1", 0.05f, 0.08f, 0.015f}, {"v2", 0.10f, 0.08f, 0.074f}, {"v3", 0.14f, 0.08f, 0.074f}}};

namespace {

using json::JVal;

constexpr int32_t kMaxCanvas = 8192;
constexpr int32_t kMaxMapRows = 8;

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error(text); }

float smoothstep(float u) { return u * u * (3.0f - 2.0f * u); }

// A value of the ellipse's soft mask: 1 inside, ramping to 0 over about ten
// reference pixels at its edge.
float ellValue(const EllParams& e, float gx, float gy) {
  const float ux = (gx - e.cx) / e.rx, uy = (gy - e.cy) / e.ry;
  const float d = std::sqrt(ux * ux + uy * uy);
  const float t = (1.0f - d) * e.s / 10.0f;
  return t < 0.0f ? 0.0f : smoothstep(std::min(1.0f, t));
}

uint8_t toU8(float v) { return static_cast<uint8_t>(std::nearbyint(std::clamp(v, 0.0f, 1.0f) * 255.0f)); }

// A double into [lo, hi] as an integer; NaN lands on lo.
int32_t clampInt(double v, int32_t lo, int32_t hi) {
  if (!(v >= lo)) return lo;
  if (v >= hi) return hi;
  return static_cast<int32_t>(v);
}

Box intersect(const Box& a, const Box& b) {
  Box r{std::max(a.x0, b.x0), std::max(a.y0, b.y0), std::min(a.x1, b.x1), std::min(a.y1, b.y1)};
  if (r.empty()) return Box{};
  return r;
}

std::string num(double v) {
  char buf[64];
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 1e15)
    std::snprintf(buf, sizeof buf, "%.0f", v);
  else
    std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::string fixed2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

int32_t row(const JVal& v) { return json::truncInt(v.kind == JVal::Num ? v.num : 0.0); }

// floor and ceiling of num / den for den > 0, exactly.
int64_t floorDiv(int64_t num, int64_t den) { return num >= 0 ? num / den : -((-num + den - 1) / den); }
int64_t ceilDiv(int64_t num, int64_t den) { return -floorDiv(-num, den); }

}  // namespace

// ---- the compose mask ----

UnifiedPi UnifiedPi::fromManifestJson(const std::string& manifest, int32_t canvas) {
  if (canvas < 1 || canvas > kMaxCanvas)
    refuse("teeth-pi: canvas " + std::to_string(canvas) + " is not a compose canvas (1.." +
           std::to_string(kMaxCanvas) + ")");
  const JVal root = json::parseJson(manifest, "manifest");
  const JVal* unified = root.obj("unified");
  if (!unified)
    refuse("teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot state "
           "the pi geometry it was baked with; refusing to guess one");
  static const JVal kEmpty = [] {
    JVal v;
    v.kind = JVal::Obj;
    return v;
  }();
  const JVal* piBlock = unified->obj("pi");
  const JVal& pi = piBlock ? *piBlock : kEmpty;
  const JVal* mode = pi.get("mode");
  if (!mode || mode->kind != JVal::Str) refuse("teeth-pi: unified.pi.mode is not a string");
  if (mode->str != "prop")
    refuse("teeth-pi: unified.pi.mode '" + mode->str +
           "' is a compose-mask geometry this port cannot name — fail loud, never adapt (the stamped-geometry rule)");
  UnifiedPi p;
  if (const JVal* cr = pi.get("corner_recovery")) {
    if (cr->kind == JVal::Bool)
      p.cornerRecovery_ = cr->b;
    else if (cr->kind == JVal::Str && cr->str == "lip_landmark_half")
      p.cornerRecovery_ = true;
    else
      refuse("teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must "
             "never be guessed");
  }
  if (const JVal* g = pi.get("prop_gate_scale"); g && g->kind == JVal::Num) p.propGateScale_ = static_cast<float>(g->num);
  const JVal* lip = pi.get("lip_idx");
  if (!lip) refuse("teeth: member JSON lacks key 'lip_idx'");
  if (lip->kind != JVal::Arr || lip->items.empty()) refuse("teeth-pi: unified.pi.lip_idx is not a non-empty array");
  for (const JVal& r : lip->items) {
    const int32_t k = row(r);
    // A row beyond the keypoint set would be read past the frame's floats.
    if (k < 0 || k >= kHostKpRows)
      refuse("teeth-pi: unified.pi.lip_idx names keypoint row " + std::to_string(k) + ", and a kd row is 0..20");
    p.lipIdx_.push_back(k);
  }
  const JVal* geom = pi.get("lip_geom_params");
  if (!geom || geom->kind != JVal::Arr || geom->items.size() != 3 ||
      std::any_of(geom->items.begin(), geom->items.end(), [](const JVal& v) { return v.kind != JVal::Num; }))
    refuse("teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  p.setLipGeometry(static_cast<float>(geom->items[0].num), static_cast<float>(geom->items[1].num),
                   static_cast<float>(geom->items[2].num));
  if (const JVal* crop = unified->obj("crop"))
    if (const JVal* c = crop->get("canvas"); c && !(c->kind == JVal::Num && c->num == canvas))
      refuse("teeth-pi: engine renders at canvas " + std::to_string(canvas) + " but unified.crop.canvas is " +
             (c->kind == JVal::Num ? num(c->num) : std::string("not a number")));
  p.n_ = canvas;
  p.grid_.resize(static_cast<size_t>(canvas));
  for (int32_t i = 0; i < canvas; ++i)
    p.grid_[static_cast<size_t>(i)] = canvas == 1 ? -1.0f : static_cast<float>(2.0 * i / (canvas - 1) - 1.0);
  return p;
}

size_t pickCorpus(const std::array<double, 3>& distances, const double cCanon[2]) {
  std::array<size_t, 3> order = {0, 1, 2};
  auto key = [&](size_t i) { return std::isnan(distances[i]) ? INFINITY : distances[i]; };
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return key(a) < key(b); });
  std::string list;
  for (const size_t i : order) {
    if (!list.empty()) list += ", ";
    list += std::string(kCorpusGeometries[i].name) + "=" + fixed2(distances[i]) + "px";
  }
  const double best = key(order[0]), second = key(order[1]);
  if (!(best <= 8.0))
    refuse("teeth-pi: no corpus pi geometry matches this bank's c_canon (" + fixed2(cCanon[0]) + "," +
           fixed2(cCanon[1]) + ") within 8.00px — " + list +
           " — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody can name");
  if (second - best < 3.0)
    refuse("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) — " + list +
           " — refusing to guess the bank frame");
  return order[0];
}

namespace {

// The corpus geometry a bank was built on, by what identifies it. Every
// session armed with one avatar's bank asks the same question, and the
// answer takes about half a second of one core (three masks over the whole
// canvas for every source frame), so the last few answers are kept. A key
// holds its inputs whole, compared bit for bit.
struct CorpusKey {
  std::string manifest;
  int32_t canvas;
  std::vector<float> frames;
  double canon[2];

  bool operator==(const CorpusKey& o) const {
    return canvas == o.canvas && manifest == o.manifest && frames.size() == o.frames.size() &&
           std::memcmp(frames.data(), o.frames.data(), frames.size() * sizeof(float)) == 0 &&
           std::memcmp(canon, o.canon, sizeof canon) == 0;
  }
};

struct CorpusMemo {
  static constexpr size_t kKept = 4;
  std::mutex mu;
  std::deque<std::pair<CorpusKey, std::pair<UnifiedPi, std::string>>> kept;  // newest first
};

CorpusMemo& corpusMemo() {
  static CorpusMemo* memo = new CorpusMemo;  // never destroyed: sessions may arm during exit
  return *memo;
}

}  // namespace

UnifiedPi UnifiedPi::corpusFromManifestJson(const std::string& manifest, int32_t canvas, const float* frames,
                                            int32_t count, const double cCanon[2], std::string* name) {
  if (!frames || count < 1)
    refuse("teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied — "
           "refusing to fall back to the stamped geometry, which is the GRAPH's compose field");
  CorpusKey key{manifest, canvas, std::vector<float>(frames, frames + static_cast<size_t>(count) * kKpValues),
                {cCanon[0], cCanon[1]}};
  CorpusMemo& memo = corpusMemo();
  {
    std::lock_guard<std::mutex> lk(memo.mu);
    for (const auto& [k, answer] : memo.kept)
      if (k == key) {
        if (name) *name = answer.second;
        return answer.first;
      }
  }
  std::string picked;
  UnifiedPi pi = corpusFromFrames(manifest, canvas, frames, count, cCanon, &picked);
  {
    std::lock_guard<std::mutex> lk(memo.mu);
    memo.kept.emplace_front(std::move(key), std::make_pair(pi, picked));
    if (memo.kept.size() > CorpusMemo::kKept) memo.kept.pop_back();
  }
  if (name) *name = picked;
  return pi;
}

UnifiedPi UnifiedPi::corpusFromFrames(const std::string& manifest, int32_t canvas, const float* frames, int32_t count,
                                      const double cCanon[2], std::string* name) {
  const UnifiedPi base = fromManifestJson(manifest, canvas);
  std::array<UnifiedPi, 3> variants = {base, base, base};
  std::array<double, 3> distances{};
  for (size_t v = 0; v < variants.size(); ++v) {
    const CorpusGeometry& g = kCorpusGeometries[v];
    variants[v].setLipGeometry(g.padX, g.padY, g.down);
    double x = 0, y = 0;
    variants[v].canonicalCentroid(frames, count, &x, &y);
    distances[v] = std::hypot(x - cCanon[0], y - cCanon[1]);
  }
  const size_t best = pickCorpus(distances, cCanon);
  if (name) *name = kCorpusGeometries[best].name;
  return variants[best];
}

UnifiedPi::LipStats UnifiedPi::stats(const float* kp) const {
  float sx = 0, sy = 0;
  for (const int32_t r : lipIdx_) sx += kp[3 * r], sy += kp[3 * r + 1];
  const float k = static_cast<float>(lipIdx_.size());
  LipStats st{sx / k, sy / k, 0, 0};
  for (const int32_t r : lipIdx_) {
    st.ax = std::max(st.ax, std::fabs(kp[3 * r] - st.mx));
    st.ay = std::max(st.ay, std::fabs(kp[3 * r + 1] - st.my));
  }
  return st;
}

EllParams UnifiedPi::ellipse(const LipStats& st, float padX, float padY, float minRx, float minRy, float scale,
                             float down) const {
  EllParams e;
  e.rx = std::max(minRx, st.ax + padX);
  e.ry = std::max(minRy, st.ay + padY);
  if (scale != 1.0f) e.rx *= scale, e.ry *= scale;
  e.cx = st.mx;
  e.cy = st.my + down;
  e.s = std::sqrt(e.rx * e.ry) * 256.0f;
  return e;
}

// With corner recovery the lip ellipse grows until every lip point lies at
// least five reference pixels inside it.
float UnifiedPi::lipScale(const LipStats& st, const float* kp) const {
  if (!cornerRecovery_) return 1.0f;
  const EllParams e = ellipse(st, padX_, padY_, 0.1f, 0.1f, 1.0f, down_);
  float m = 0;
  for (const int32_t r : lipIdx_) {
    const float ux = (kp[3 * r] - e.cx) / e.rx, uy = (kp[3 * r + 1] - e.cy) / e.ry;
    m = std::max(m, std::sqrt(ux * ux + uy * uy));
  }
  return std::max(1.0f, 5.0f / e.s + m);
}

float UnifiedPi::gate(const LipStats& st) const {
  if (st.ay < 0.02f) return 0.0f;
  return smoothstep(std::min(1.0f, (st.ay - 0.02f) / 0.01f));
}

void UnifiedPi::ellMask(const float* kp, float padX, float padY, float minRx, float minRy, float scale, float down,
                        float* out) const {
  const EllParams e = ellipse(stats(kp), padX, padY, minRx, minRy, scale, down);
  for (int32_t y = 0; y < n_; ++y)
    for (int32_t x = 0; x < n_; ++x) out[static_cast<size_t>(y) * n_ + x] = ellValue(e, grid_[x], grid_[y]);
}

void UnifiedPi::lipMask(const float* kp, float* out) const {
  const LipStats st = stats(kp);
  ellMask(kp, padX_, padY_, 0.1f, 0.1f, lipScale(st, kp), down_, out);
}

void UnifiedPi::propTeethGate(const float* kp, float* out) const {
  const float g = gate(stats(kp));
  ellMask(kp, 0.0f, 0.0f, 0.004f, 0.004f, propGateScale_, 0.0f, out);
  for (size_t i = 0; i < static_cast<size_t>(n_) * n_; ++i) out[i] *= g;
}

EllParams UnifiedPi::lipParams(const float* kp) const {
  const LipStats st = stats(kp);
  return ellipse(st, padX_, padY_, 0.1f, 0.1f, lipScale(st, kp), down_);
}

EllParams UnifiedPi::gateParams(const float* kp, float* g) const {
  const LipStats st = stats(kp);
  if (g) *g = gate(st);
  return ellipse(st, 0.0f, 0.0f, 0.004f, 0.004f, propGateScale_, 0.0f);
}

Box UnifiedPi::ellBox(const EllParams& e) const {
  if (n_ < 2) return Box{};
  const double h = (n_ - 1) / 2.0;
  // Clamped a little beyond the canvas first, so an ellipse off the canvas
  // still gives an empty box.
  auto lo = [&](double c, double r) {
    return std::min(std::max(clampInt(std::floor((c - r + 1) * h), -4, n_ + 4) - 1, 0), n_);
  };
  auto hi = [&](double c, double r, int32_t from) {
    return std::max(std::min(clampInt(std::ceil((c + r + 1) * h), -4, n_ + 4) + 2, n_), from);
  };
  Box b;
  b.x0 = lo(e.cx, e.rx);
  b.y0 = lo(e.cy, e.ry);
  b.x1 = hi(e.cx, e.rx, b.x0);
  b.y1 = hi(e.cy, e.ry, b.y0);
  return b;
}

Box UnifiedPi::supportBox(const float* kp) const {
  const Box a = ellBox(lipParams(kp)), b = ellBox(gateParams(kp, nullptr));
  if (a.empty()) return b;
  if (b.empty()) return a;
  return Box{std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

float UnifiedPi::piAt(const EllParams& lip, const EllParams& teeth, float g, int32_t x, int32_t y) const {
  return std::max(ellValue(lip, grid_[x], grid_[y]), ellValue(teeth, grid_[x], grid_[y]) * g);
}

void UnifiedPi::fillPi(const float* kp, const Box& box, uint8_t* out) const {
  std::fill(out, out + static_cast<size_t>(n_) * n_, uint8_t{0});
  const EllParams lip = lipParams(kp);
  float g = 0;
  const EllParams teeth = gateParams(kp, &g);
  for (int32_t y = box.y0; y < box.y1; ++y)
    for (int32_t x = box.x0; x < box.x1; ++x) out[static_cast<size_t>(y) * n_ + x] = toU8(piAt(lip, teeth, g, x, y));
}

void UnifiedPi::piU8(const float* kp, uint8_t* out) const { fillPi(kp, Box{0, 0, n_, n_}, out); }
void UnifiedPi::piU8Boxed(const float* kp, uint8_t* out) const { fillPi(kp, supportBox(kp), out); }

void UnifiedPi::piU8ShrunkBy(const float* kp, const float* contour, const Box& cbox, uint8_t* out) const {
  std::fill(out, out + static_cast<size_t>(n_) * n_, uint8_t{0});
  const Box box = intersect(supportBox(kp), cbox);
  const EllParams lip = lipParams(kp);
  float g = 0;
  const EllParams teeth = gateParams(kp, &g);
  for (int32_t y = box.y0; y < box.y1; ++y)
    for (int32_t x = box.x0; x < box.x1; ++x) {
      const uint8_t c = toU8(contour[static_cast<size_t>(y - cbox.y0) * cbox.w() + (x - cbox.x0)]);
      out[static_cast<size_t>(y) * n_ + x] = std::min(toU8(piAt(lip, teeth, g, x, y)), c);
    }
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, const Box& box, double* x, double* y) const {
  double sx = 0, sy = 0, count = 0;
  for (int32_t r = box.y0; r < box.y1; ++r)
    for (int32_t c = box.x0; c < box.x1; ++c)
      if (mask[static_cast<size_t>(r) * n_ + c] >= 128) sx += c, sy += r, count += 1;
  if (count == 0) return false;
  *x = sx / count;
  *y = sy / count;
  return true;
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, double* x, double* y) const {
  return piU8Centroid(mask, Box{0, 0, n_, n_}, x, y);
}

bool UnifiedPi::piU8AndShift(const float* kp, const double canon[2], uint8_t* out, int32_t* dy, int32_t* dx) const {
  piU8Boxed(kp, out);
  double x = 0, y = 0;
  if (!piU8Centroid(out, supportBox(kp), &x, &y)) return false;
  *dy = static_cast<int32_t>(std::nearbyint(y - canon[1]));
  *dx = static_cast<int32_t>(std::nearbyint(x - canon[0]));
  return true;
}

void UnifiedPi::canonicalCentroid(const float* frames, int32_t count, double* x, double* y) const {
  std::vector<uint8_t> mask(static_cast<size_t>(n_) * n_);
  double sx = 0, sy = 0;
  int32_t have = 0;
  for (int32_t f = 0; f < count; ++f) {
    piU8(frames + static_cast<size_t>(f) * kKpValues, mask.data());
    double cx = 0, cy = 0;
    if (!piU8Centroid(mask.data(), &cx, &cy)) continue;
    sx += cx, sy += cy, ++have;
  }
  if (have == 0)
    refuse("teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's frame "
           "is identified by");
  *x = sx / have;
  *y = sy / have;
}

// ---- the lip contour ----

LipContour LipContour::fromTemplateJson(const std::string& text, int32_t canvas) {
  auto no = [](const std::string& what) { refuse("lip_template.v1.json: " + what); };
  JVal root;
  try {
    json::JParser p(text);
    p.skipWs();
    root = p.val();
  } catch (const std::runtime_error& e) {
    no(std::string("is not parseable JSON (") + e.what() + ")");
  }
  if (!root.isObj()) no("is not a JSON object");
  const JVal* format = root.get("format");
  if (!format || format->kind != JVal::Str) no("carries no string `format`");
  if (format->str != "lip-template-v1")
    no("declares format '" + format->str + "', not 'lip-template-v1' — this runtime cannot read it");
  if (const JVal* edge = root.get("edge"); edge && !(edge->kind == JVal::Str && edge->str == "outward"))
    no("declares edge '" + (edge->kind == JVal::Str ? edge->str : std::string("?")) +
       "', and the contour feather is OUTWARD — refusing to serve a mask this runtime does not compute");
  const JVal* c = root.get("canvas");
  if (!c || c->kind != JVal::Num) no("carries no numeric `canvas`");
  if (c->num != canvas)
    no("was baked on a " + num(c->num) + " canvas but this bundle composes on " + std::to_string(canvas) +
       " — refusing to deform a polygon onto a canvas it does not name");
  const JVal* f = root.get("feather_px");
  if (!f || f->kind != JVal::Num) no("carries no numeric `feather_px`");
  if (!(f->num > 0)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", f->num);
    no(std::string("declares feather_px ") + buf + ", which is not positive");
  }
  const JVal* u = root.arr("u_canon");
  if (!u || u->items.empty()) no("carries no non-empty `u_canon` array");
  std::vector<double> uc;
  for (size_t i = 0; i < u->items.size(); ++i) {
    const JVal& r = u->items[i];
    if (r.kind != JVal::Arr || r.items.size() != 2 || r.items[0].kind != JVal::Num || r.items[1].kind != JVal::Num)
      no("u_canon row " + std::to_string(i) + " is not a 2-vector — this is not an nv x 2 template");
    uc.push_back(r.items[0].num);
    uc.push_back(r.items[1].num);
  }
  const JVal* li = root.arr("lip_idx");
  if (!li || li->items.empty()) no("carries a `lip_idx` that is not a non-empty array");
  std::vector<int32_t> idx;
  for (const JVal& r : li->items) {
    const int32_t k = row(r);
    if (k < 0 || k >= kHostKpRows) no("lip_idx names keypoint row " + std::to_string(k) + ", and a kd row is 0..20");
    idx.push_back(k);
  }
  const int32_t nv = static_cast<int32_t>(uc.size() / 2);
  LipContour lc(canvas, static_cast<float>(f->num), uc.data(), nv, idx.data(), static_cast<int32_t>(idx.size()));

  const JVal* map = root.get("lip_map");
  if (!map) return lc;
  if (!map->isObj()) no("lip_map is not a JSON object");
  const JVal* schema = map->get("schema");
  const std::string schemaText = schema && schema->kind == JVal::Str ? schema->str : "?";
  if (schemaText != "lip-map-v1")
    no("lip_map declares schema '" + schemaText + "', not 'lip-map-v1' — this runtime cannot evaluate it");
  if (json::optStr(*map, "kind", "") != "anchor-linear") no("lip_map kind is not 'anchor-linear'");
  const JVal* mi = map->arr("lip_idx");
  if (!mi || mi->items.empty() || mi->items.size() > kMaxMapRows) no("lip_map lip_idx is not 1..8 kd rows");
  std::vector<int32_t> mapIdx;
  for (const JVal& r : mi->items) {
    const int32_t k = row(r);
    if (k < 0 || k >= kHostKpRows) no("lip_map lip_idx names a row outside 0..20");
    mapIdx.push_back(k);
  }
  const JVal* W = map->arr("W");
  const JVal* b = map->arr("b");
  if (!W || !b) no("lip_map carries no W/b arrays");
  const size_t rows = 2 * static_cast<size_t>(nv), cols = 2 * mapIdx.size();
  if (W->items.size() != rows || b->items.size() != rows)
    no("lip_map W/b have " + std::to_string(W->items.size()) + "/" + std::to_string(b->items.size()) +
       " rows, not 2*nv=" + std::to_string(rows));
  std::vector<double> w, bias;
  for (size_t i = 0; i < rows; ++i) {
    const JVal& r = W->items[i];
    if (r.kind != JVal::Arr || r.items.size() != cols)
      no("lip_map W row " + std::to_string(i) + " is not " + std::to_string(cols) + " wide");
    for (const JVal& v : r.items) w.push_back(v.kind == JVal::Num ? v.num : NAN);
    bias.push_back(b->items[i].kind == JVal::Num ? b->items[i].num : NAN);
  }
  if (std::any_of(w.begin(), w.end(), [](double v) { return !std::isfinite(v); }) ||
      std::any_of(bias.begin(), bias.end(), [](double v) { return !std::isfinite(v); }))
    no("lip_map carries a non-finite coefficient");
  if (const JVal* mc = map->get("canvas"); mc && !(mc->kind == JVal::Num && mc->num == canvas))
    no("lip_map was fitted on another canvas than this bundle composes on");
  lc.attachMap(w.data(), bias.data(), static_cast<int32_t>(rows), static_cast<int32_t>(cols), mapIdx.data(),
               static_cast<int32_t>(mapIdx.size()));
  return lc;
}

LipContour::LipContour(int32_t canvas, float featherPx, const double* uCanon, int32_t nv, const int32_t* lipIdx,
                       int32_t count)
    : n_(canvas), feather_(featherPx), nv_(nv), uCanon_(uCanon, uCanon + 2 * static_cast<size_t>(nv)),
      lipIdx_(lipIdx, lipIdx + count) {
  if (canvas < 1 || canvas > kMaxCanvas || !(featherPx > 0) || nv < 1 || count < 1)
    refuse("lip_template.v1.json: the contour needs a canvas, a positive feather, vertices and anchor rows");
  for (const int32_t r : lipIdx_)
    if (r < 0 || r >= kHostKpRows) refuse("lip_template.v1.json: lip_idx names a row outside 0..20");
}

void LipContour::attachMap(const double* W, const double* b, int32_t rows, int32_t cols, const int32_t* lipIdx,
                           int32_t count) {
  if (rows != 2 * nv_ || count < 1 || count > kMaxMapRows || cols != 2 * count || !W || !b || !lipIdx ||
      std::any_of(lipIdx, lipIdx + count, [](int32_t r) { return r < 0 || r >= kHostKpRows; }))
    refuse("lip_template.v1.json: lip_map shape does not match the template");
  mapW_.assign(W, W + static_cast<size_t>(rows) * cols);
  mapB_.assign(b, b + rows);
  mapIdx_.assign(lipIdx, lipIdx + count);
}

void LipContour::polygon(const float* kp, double* out) const {
  const std::vector<int32_t>& anchors = hasMap() ? mapIdx_ : lipIdx_;
  const size_t m = anchors.size();
  std::vector<double> px(m), py(m);
  double mx = 0, my = 0;
  for (size_t j = 0; j < m; ++j) {
    px[j] = (static_cast<double>(kp[3 * anchors[j]]) + 1.0) * n_ / 2.0;
    py[j] = (static_cast<double>(kp[3 * anchors[j] + 1]) + 1.0) * n_ / 2.0;
    mx += px[j], my += py[j];
  }
  mx /= static_cast<double>(m);
  my /= static_cast<double>(m);
  if (hasMap()) {
    std::vector<double> feat(2 * m);
    for (size_t j = 0; j < m; ++j) feat[2 * j] = px[j] - mx, feat[2 * j + 1] = py[j] - my;
    for (size_t k = 0; k < 2 * static_cast<size_t>(nv_); ++k) {
      double v = mapB_[k];
      for (size_t j = 0; j < 2 * m; ++j) v += mapW_[k * 2 * m + j] * feat[j];
      out[k] = v + (k % 2 == 0 ? mx : my);
    }
    return;
  }
  double sx = 0, sy = 0;
  for (size_t j = 0; j < m; ++j) sx = std::max(sx, std::fabs(px[j] - mx)), sy = std::max(sy, std::fabs(py[j] - my));
  sx = std::max(1e-6, sx);
  sy = std::max(1e-6, sy);
  for (int32_t i = 0; i < nv_; ++i) {
    out[2 * i] = mx + sx * uCanon_[2 * static_cast<size_t>(i)];
    out[2 * i + 1] = my + sy * uCanon_[2 * static_cast<size_t>(i) + 1];
  }
}

Box LipContour::box(const double* v) const {
  double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
  for (int32_t i = 0; i < nv_; ++i) {
    if (!std::isfinite(v[2 * i]) || !std::isfinite(v[2 * i + 1])) return Box{};
    x0 = std::min(x0, v[2 * i]), x1 = std::max(x1, v[2 * i]);
    y0 = std::min(y0, v[2 * i + 1]), y1 = std::max(y1, v[2 * i + 1]);
  }
  const double g = static_cast<double>(feather_) + 2.0;
  Box b{clampInt(std::floor(x0 - g), 0, n_), clampInt(std::floor(y0 - g), 0, n_),
        clampInt(std::ceil(x1 + g) + 1.0, 0, n_), clampInt(std::ceil(y1 + g) + 1.0, 0, n_)};
  return b.empty() ? Box{} : b;
}

const std::vector<uint8_t>& LipContour::fillScanline(const double* v, const Box& box) {
  const int32_t w = box.w(), h = box.h();
  fill_.assign(static_cast<size_t>(std::max(w, 0)) * std::max(h, 0), 0);
  if (box.empty()) return fill_;
  // Vertices far off the box are pulled in to a few canvases away: the spans
  // inside the box stay those of any sane polygon and every walk is bounded.
  const int32_t lim = 4 * n_ + 16;
  std::vector<int64_t> xs(static_cast<size_t>(nv_)), ys(static_cast<size_t>(nv_));
  for (int32_t i = 0; i < nv_; ++i) {
    xs[i] = clampInt(std::nearbyint(v[2 * i] - box.x0), -lim, lim);
    ys[i] = clampInt(std::nearbyint(v[2 * i + 1] - box.y0), -lim, lim);
  }
  auto plot = [&](int64_t x, int64_t y) {
    if (x >= 0 && x < w && y >= 0 && y < h) fill_[static_cast<size_t>(y) * w + static_cast<size_t>(x)] = 1;
  };
  for (int32_t i = 0; i < nv_; ++i) {
    const int32_t j = (i + 1) % nv_;
    int64_t x = xs[i], y = ys[i];
    const int64_t dx = std::llabs(xs[j] - x), dy = -std::llabs(ys[j] - y);
    const int64_t sx = x < xs[j] ? 1 : -1, sy = y < ys[j] ? 1 : -1;
    int64_t err = dx + dy;
    for (;;) {
      plot(x, y);
      if (x == xs[j] && y == ys[j]) break;
      const int64_t e2 = 2 * err;
      if (e2 >= dy) err += dy, x += sx;
      if (e2 <= dx) err += dx, y += sy;
    }
  }
  // Even-odd spans between exact crossings (num / den, den > 0).
  struct Crossing {
    int64_t num, den;
  };
  std::vector<Crossing> cs;
  for (int64_t y = 0; y < h; ++y) {
    cs.clear();
    for (int32_t i = 0; i < nv_; ++i) {
      const int32_t j = (i + 1) % nv_;
      if (ys[i] == ys[j]) continue;
      if (y < std::min(ys[i], ys[j]) || y >= std::max(ys[i], ys[j])) continue;
      int64_t den = ys[j] - ys[i];
      int64_t num = xs[i] * den + (y - ys[i]) * (xs[j] - xs[i]);
      if (den < 0) den = -den, num = -num;
      cs.push_back({num, den});
    }
    std::sort(cs.begin(), cs.end(), [](const Crossing& a, const Crossing& b) { return a.num * b.den < b.num * a.den; });
    for (size_t k = 0; k + 1 < cs.size(); k += 2) {
      const int64_t from = std::max<int64_t>(ceilDiv(cs[k].num, cs[k].den), 0);
      const int64_t to = std::min<int64_t>(floorDiv(cs[k + 1].num, cs[k + 1].den), w - 1);
      for (int64_t x = from; x <= to; ++x) fill_[static_cast<size_t>(y) * w + static_cast<size_t>(x)] = 1;
    }
  }
  return fill_;
}

const std::vector<float>& LipContour::contourF32(const double* v, const Box& box) {
  fillScanline(v, box);
  const int32_t w = box.w(), h = box.h();
  dist_.assign(fill_.size(), 0.0f);
  contour_.assign(fill_.size(), 0.0f);
  if (box.empty()) return contour_;
  constexpr float kA = 0.955f, kB = 1.3693f;
  for (size_t i = 0; i < fill_.size(); ++i) dist_[i] = fill_[i] ? 0.0f : 1e10f;
  auto at = [&](int32_t x, int32_t y) -> float& { return dist_[static_cast<size_t>(y) * w + x]; };
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      float d = at(x, y);
      if (x > 0) d = std::min(d, at(x - 1, y) + kA);
      if (y > 0) {
        d = std::min(d, at(x, y - 1) + kA);
        if (x > 0) d = std::min(d, at(x - 1, y - 1) + kB);
        if (x + 1 < w) d = std::min(d, at(x + 1, y - 1) + kB);
      }
      at(x, y) = d;
    }
  for (int32_t y = h - 1; y >= 0; --y)
    for (int32_t x = w - 1; x >= 0; --x) {
      float d = at(x, y);
      if (x + 1 < w) d = std::min(d, at(x + 1, y) + kA);
      if (y + 1 < h) {
        d = std::min(d, at(x, y + 1) + kA);
        if (x + 1 < w) d = std::min(d, at(x + 1, y + 1) + kB);
        if (x > 0) d = std::min(d, at(x - 1, y + 1) + kB);
      }
      at(x, y) = d;
    }
  for (size_t i = 0; i < dist_.size(); ++i) {
    const float t = 1.0f - dist_[i] / feather_;
    contour_[i] = t <= 0.0f ? 0.0f : smoothstep(std::min(1.0f, t));
  }
  return contour_;
}

void LipContour::contourF32Canvas(const float* kp, float* out) {
  std::fill(out, out + static_cast<size_t>(n_) * n_, 0.0f);
  verts_.resize(2 * static_cast<size_t>(nv_));
  polygon(kp, verts_.data());
  const Box b = box(verts_.data());
  if (b.empty()) return;
  contourF32(verts_.data(), b);
  for (int32_t y = b.y0; y < b.y1; ++y)
    std::copy_n(contour_.begin() + static_cast<std::ptrdiff_t>(y - b.y0) * b.w(), b.w(),
                out + static_cast<size_t>(y) * n_ + b.x0);
}

void LipContour::deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) {
  verts_.resize(2 * static_cast<size_t>(nv_));
  polygon(kp, verts_.data());
  const Box b = box(verts_.data());
  if (b.empty()) {
    std::fill(out, out + static_cast<size_t>(n_) * n_, uint8_t{0});
    return;
  }
  contourF32(verts_.data(), b);
  pi.piU8ShrunkBy(kp, contour_.data(), b, out);
}

bool LipContour::shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask) {
  verts_.resize(2 * static_cast<size_t>(nv_));
  polygon(kp, verts_.data());
  const Box cb = box.empty() ? Box{} : this->box(verts_.data());
  if (!cb.empty()) contourF32(verts_.data(), cb);
  bool any = false;
  for (int32_t y = std::max(box.y0, 0); y < std::min(box.y1, n_); ++y)
    for (int32_t x = std::max(box.x0, 0); x < std::min(box.x1, n_); ++x) {
      uint8_t& m = mask[static_cast<size_t>(y) * n_ + x];
      if (cb.empty() || x < cb.x0 || x >= cb.x1 || y < cb.y0 || y >= cb.y1)
        m = 0;
      else
        m = std::min(m, toU8(contour_[static_cast<size_t>(y - cb.y0) * cb.w() + (x - cb.x0)]));
      any = any || m != 0;
    }
  return any;
}

bool LipContour::deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double canon[2], uint8_t* out,
                                     int32_t* dy, int32_t* dx) {
  if (!pi.piU8AndShift(kp, canon, out, dy, dx)) return false;
  return shrinkU8InPlace(kp, pi.supportBox(kp), out);
}

}  // namespace le::tessera

#include "tessera/teeth_pass.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numeric>
#include <stdexcept>

#include "kernels/half.h"
#include "kernels/pool.h"
#include "kernels/simd.h"
#include "tessera/json.h"

namespace le::tessera {
namespace {

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error(text); }

// The largest stored patch side and canvas side the pass takes: a stamp
// beyond them is no mouth, and the bounds keep every size far inside 32 bits.
constexpr int64_t kMaxSide = 16384;
constexpr int32_t kMaxK = 4096;

// v / 255 for every byte, each as the division gives it.
const std::array<float, 256>& byteUnits() {
  static const std::array<float, 256> units = [] {
    std::array<float, 256> t{};
    for (int v = 0; v < 256; ++v) t[v] = static_cast<float>(v) / 255.0f;
    return t;
  }();
  return units;
}

int32_t roundEven(double v) {
  if (!(std::fabs(v) < 1e9)) return v > 0 ? 1000000000 : -1000000000;  // NaN lands low
  return static_cast<int32_t>(std::nearbyint(v));
}

// Average of factor x factor blocks of each plane; rows and columns past the
// last whole block are dropped.
void avgPool(const float* in, int C, int H, int W, int f, float* out) {
  const int h = H / f, w = W / f;
  const float inv = 1.0f / static_cast<float>(f * f);
  for (int c = 0; c < C; ++c)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        float s = 0;
        for (int dy = 0; dy < f; ++dy)
          for (int dx = 0; dx < f; ++dx) s += in[(static_cast<size_t>(c) * H + y * f + dy) * W + x * f + dx];
        out[(static_cast<size_t>(c) * h + y) * w + x] = s * inv;
      }
}

std::vector<size_t> stableOrder(const std::vector<float>& score, size_t count) {
  std::vector<size_t> order(count);
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return score[a] < score[b]; });
  return order;
}

bool contains(const std::vector<int32_t>& v, int32_t d) { return std::find(v.begin(), v.end(), d) != v.end(); }

}  // namespace

GeometryStamp GeometryStamp::fromArray(const int32_t* v) {
  GeometryStamp s;
  s.canvas_w = v[0], s.canvas_h = v[1], s.window_x0 = v[2], s.window_y0 = v[3], s.window_w = v[4];
  s.window_h = v[5], s.pad = v[6], s.band_r0 = v[7], s.band_r1 = v[8], s.band_c0 = v[9], s.band_c1 = v[10];
  s.shift_margin = v[11];
  return s;
}

void GeometryStamp::validate() const {
  using I = int64_t;
  std::string bad;
  auto rule = [&](bool ok, const char* text) {
    if (!ok) bad += std::string(" ") + text + ";";
  };
  rule(window_w > 0 && window_h > 0, "window dims must be positive");
  rule(window_x0 >= 0 && I{window_x0} + window_w <= canvas_w, "window x-range escapes canvas");
  rule(window_y0 >= 0 && I{window_y0} + window_h <= canvas_h, "window y-range escapes canvas");
  rule(0 <= band_r0 && band_r0 < band_r1 && band_r1 <= window_h, "band rows escape window");
  rule(0 <= band_c0 && band_c0 < band_c1 && band_c1 <= window_w, "band cols escape window");
  rule(pad > 0 && shift_margin >= 0, "pad/shift_margin must be positive");
  rule(I{band_r0} + pad >= shift_margin && I{band_r1} + pad + shift_margin <= I{window_h} + 2 * I{pad},
       "stored band rows escape patch");
  rule(I{band_c0} + pad >= shift_margin && I{band_c1} + pad + shift_margin <= I{window_w} + 2 * I{pad},
       "stored band cols escape patch");
  // Beyond the rules above: sizes the pass would allocate from.
  rule(canvas_w <= kMaxSide && canvas_h <= kMaxSide && I{band_r1} - band_r0 + 2 * I{shift_margin} <= kMaxSide &&
           I{band_c1} - band_c0 + 2 * I{shift_margin} <= kMaxSide,
       "canvas or stored patch over 16384 px a side");
  if (!bad.empty()) refuse("teeth: GeometryStamp incoherent:" + bad);
}

BankData bankFromArrays(const uint8_t* band, int32_t n, const double* cent, const double* cCanon,
                        const double* aperture, const int32_t* stamp) {
  BankData bank;
  bank.stamp = GeometryStamp::fromArray(stamp);
  bank.stamp.validate();
  if (n < 1 || n > 1024) refuse("teeth: bank sidecar arrays disagree with n_donors");
  const size_t count = static_cast<size_t>(n);
  bank.n_donors = n;
  bank.band.assign(band, band + count * static_cast<size_t>(bank.stamp.storedH()) * bank.stamp.storedW() * 3);
  bank.cent.assign(cent, cent + 2 * count);
  bank.aperture.assign(aperture, aperture + count);
  bank.c_canon = {cCanon[0], cCanon[1]};
  return bank;
}

ServeConfig ServeConfig::fromHeadMemberJson(const std::string& text) {
  using json::JVal;
  const JVal root = json::parseJson(text, "tessera_head.v1.json");
  const JVal* retrieval = root.obj("retrieval");
  const JVal* temporal = root.obj("temporal");
  if (!retrieval || !temporal)
    refuse("teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
           "defaults (W3-01)");
  auto need = [](const JVal& o, const char* key) {
    const JVal* v = o.get(key);
    if (!v || v->kind != JVal::Num) refuse(std::string("teeth: member JSON lacks key '") + key + "'");
    return v->num;
  };
  ServeConfig c;
  c.kshort = json::truncInt(need(*retrieval, "kshort"));
  c.aperture_tol = need(*retrieval, "aperture_tol");
  c.cut = json::truncInt(need(*retrieval, "cut"));
  c.K = json::truncInt(need(*retrieval, "K"));
  c.hysteresis = json::truncInt(need(*temporal, "hysteresis"));
  c.lookahead = json::truncInt(need(*temporal, "lookahead"));
  if (const JVal* decode = root.obj("decode"))
    if (const JVal* e = decode->get("envelope_clamp_255"); e && !(e->kind == JVal::Num && std::fabs(e->num - 12) <= 1e-6))
      refuse("teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity");
  // Counts the pass allocates by and loops over.
  auto range = [](bool ok, const char* key) {
    if (!ok) refuse(std::string("teeth: tessera_head.v1 config '") + key + "' is out of range");
  };
  range(c.kshort >= 1, "kshort");
  range(c.cut >= 1, "cut");
  range(c.K >= 1 && c.K <= kMaxK, "K");
  range(c.hysteresis >= 0, "hysteresis");
  range(c.lookahead >= 0, "lookahead");
  range(std::isfinite(c.aperture_tol) && c.aperture_tol >= 0, "aperture_tol");
  return c;
}

namespace {

// Every session armed with one avatar's bank hands in the same band, a few
// megabytes: one copy is kept while any pass holds it.
std::shared_ptr<const std::vector<uint8_t>> sharedBand(const std::vector<uint8_t>& band) {
  static std::mutex mu;
  static auto* held = new std::vector<std::weak_ptr<const std::vector<uint8_t>>>;  // outlives exit-time passes
  std::lock_guard<std::mutex> lk(mu);
  std::erase_if(*held, [](const auto& w) { return w.expired(); });
  for (const auto& w : *held)
    if (auto s = w.lock(); s && *s == band) return s;
  auto s = std::make_shared<const std::vector<uint8_t>>(band);
  held->push_back(s);
  return s;
}

}  // namespace

TeethPass::TeethPass(const BankData& bank, const HeadWeights& head, const ServeConfig& config)
    : st_(bank.stamp), cfg_(config), head_(head), n_(bank.n_donors), band_(sharedBand(bank.band)),
      aperture_(bank.aperture), canon_(bank.c_canon) {
  st_.validate();
  const uint64_t patch = static_cast<uint64_t>(st_.storedH()) * static_cast<uint64_t>(st_.storedW()) * 3u;
  const uint64_t need = static_cast<uint64_t>(std::max(n_, 0)) * patch;
  if (band_->size() != need)
    refuse("teeth: reference track is " + std::to_string(band_->size()) + " bytes, the stamp requires " +
           std::to_string(need) +
           " (n * stored_h * stored_w * 3) — a decoder that delivered a different pixel format would land here");
  if (n_ < 1 || aperture_.size() != static_cast<size_t>(n_) || bank.cent.size() != 2 * static_cast<size_t>(n_))
    refuse("teeth: bank sidecar arrays disagree with n_donors");
  if (st_.window_w < 2 || st_.window_h < 2) refuse("teeth: the blend head needs a window of 2x2 pixels at least");
  if (head_.cand0_w.size() != 16 * 7 * 9 || head_.cand2_w.size() != 16 * 16 * 9 || head_.cand4_w.size() != 16 * 9)
    refuse("teeth: the blend head's weights are not loaded");

  dispX_.resize(static_cast<size_t>(n_));
  dispY_.resize(static_cast<size_t>(n_));
  for (int32_t d = 0; d < n_; ++d) {
    dispX_[d] = roundEven(bank.cent[2 * d] - canon_[0]);
    dispY_[d] = roundEven(bank.cent[2 * d + 1] - canon_[1]);
  }
  const int32_t wh = st_.window_h, ww = st_.window_w;
  region_.x0 = std::max(st_.window_x0 - st_.pad, 0);
  region_.y0 = std::max(st_.window_y0 - st_.pad, 0);
  region_.w = std::min(st_.window_x0 + ww + st_.pad, st_.canvas_w) - region_.x0;
  region_.h = std::min(st_.window_y0 + wh + st_.pad, st_.canvas_h) - region_.y0;
  bandMask_.assign(static_cast<size_t>(wh) * ww, 0);
  for (int32_t r = st_.band_r0; r < st_.band_r1; ++r)
    std::fill_n(bandMask_.begin() + static_cast<std::ptrdiff_t>(r) * ww + st_.band_c0, st_.band_c1 - st_.band_c0, 1);

  pooledPlane_ = static_cast<size_t>(wh / 4) * static_cast<size_t>(ww / 4);
  pooled_.assign(static_cast<size_t>(n_) * 3 * pooledPlane_, 0);
  const size_t px = static_cast<size_t>(wh) * ww;
  pool::parallelRange(static_cast<size_t>(n_), 1, [&](size_t begin, size_t end) {
    std::vector<uint8_t> win(px * 3);
    std::vector<uint16_t> halves(px * 3);
    std::vector<float> planes(px * 3), pooled(3 * pooledPlane_);
    for (size_t d = begin; d < end; ++d) {
      gatherWindowU8(static_cast<int32_t>(d), 0, 0, win.data());
      simd::rgb8ToPlanarF16(win.data(), halves.data(), px, px);
      simd::f16ToF32(halves.data(), planes.data(), planes.size());
      avgPool(planes.data(), 3, wh, ww, 4, pooled.data());
      simd::f32ToF16(pooled.data(), pooled_.data() + d * 3 * pooledPlane_, pooled.size());
    }
  });
}

void TeethPass::gatherWindowU8(int32_t d, int32_t dy, int32_t dx, uint8_t* out) const {
  const int32_t P = st_.pad, M = st_.shift_margin, sh = st_.storedH(), sw = st_.storedW();
  const int32_t sy = std::clamp(dispY_[d] - dy, -P, P), sx = std::clamp(dispX_[d] - dx, -P, P);
  const uint8_t* patch = band_->data() + static_cast<size_t>(d) * sh * sw * 3;
  std::fill(out, out + static_cast<size_t>(st_.window_h) * st_.window_w * 3, uint8_t{0});
  // Window column c reads patch column c + shift: the columns of the window
  // that land inside the patch, a run per row.
  const int32_t shift = M + sx - st_.band_c0;
  const int32_t c0 = std::max(0, -shift), c1 = std::min(st_.window_w, sw - shift);
  if (c1 <= c0) return;
  for (int32_t r = 0; r < st_.window_h; ++r) {
    const int32_t pr = r - st_.band_r0 + M + sy;
    if (pr < 0 || pr >= sh) continue;
    std::memcpy(out + (static_cast<size_t>(r) * st_.window_w + c0) * 3,
                patch + (static_cast<size_t>(pr) * sw + c0 + shift) * 3, static_cast<size_t>(c1 - c0) * 3);
  }
}

void TeethPass::deriveShift(Pending& p, const uint8_t* mask, const int32_t* shift) const {
  if (shift) {
    p.dy = shift[0], p.dx = shift[1];
  } else {
    double sr = 0, sc = 0, count = 0;
    for (int32_t y = 0; y < st_.canvas_h; ++y)
      for (int32_t x = 0; x < st_.canvas_w; ++x)
        if (mask[static_cast<size_t>(y) * st_.canvas_w + x] >= 128) sr += y, sc += x, count += 1;
    if (count == 0) {
      p.reason = "empty-pi";
      return;
    }
    p.dy = roundEven(sr / count - canon_[1]);
    p.dx = roundEven(sc / count - canon_[0]);
  }
  if (std::abs(p.dy) > st_.pad || std::abs(p.dx) > st_.pad) {
    p.reason = "shift-out-of-range";
    return;
  }
  p.valid = true;
}

void TeethPass::retrievePrepare(const Pending& p) {
  const int32_t wh = st_.window_h, ww = st_.window_w;
  const size_t px = static_cast<size_t>(wh) * ww;
  std::vector<uint8_t> win(px * 3, 0), m(px, 0);
  for (int32_t r = 0; r < wh; ++r) {
    const int32_t y = st_.window_y0 + p.dy + r;
    if (y < 0 || y >= st_.canvas_h) continue;  // off the canvas: black, outside the mask
    for (int32_t c = 0; c < ww; ++c) {
      const int32_t x = st_.window_x0 + p.dx + c;
      if (x < 0 || x >= st_.canvas_w) continue;
      const size_t at = region_.at(x, y), i = static_cast<size_t>(r) * ww + c;  // |shift| <= pad: in the region
      std::copy_n(p.rgb.begin() + static_cast<std::ptrdiff_t>(at * 3), 3, win.begin() + static_cast<std::ptrdiff_t>(i * 3));
      m[i] = p.mask[at];
    }
  }
  qPlanes_.resize(px * 3);
  simd::rgb8ToPlanarF16(win.data(), qPlanes_.data(), px, px);
  auto work = works().take();
  std::vector<float>& planes = work->planes;
  planes.assign(px * 3, 0.0f);
  const std::array<float, 256>& units = byteUnits();
  for (size_t i = 0; i < px; ++i)
    for (size_t c = 0; c < 3; ++c) planes[c * px + i] = units[win[3 * i + c]];

  // Teeth are bright and nearly grey: those pixels of the mask steer the
  // score, or the whole mask when too few of them are seen.
  qWeights_.assign(px, 0.0f);
  double sum = 0;
  for (size_t i = 0; i < px; ++i) {
    const double R = win[3 * i], G = win[3 * i + 1], B = win[3 * i + 2];
    const bool inMask = m[i] / 255.0 > 0.5;
    if (inMask && 0.299 * R + 0.587 * G + 0.114 * B >= cfg_.luma_min && std::fabs(G - R) < cfg_.rg_max)
      qWeights_[i] = 1.0f, sum += 1;
  }
  if (sum < cfg_.min_weight)
    for (size_t i = 0; i < px; ++i) qWeights_[i] = m[i] / 255.0 > 0.5 ? 1.0f : 0.0f;
  if (prevWeights_.size() == px)
    for (size_t i = 0; i < px; ++i)
      qWeights_[i] = std::max(qWeights_[i], static_cast<float>(cfg_.decay) * prevWeights_[i]);
  prevWeights_ = qWeights_;
  W_ = std::max(1.0, static_cast<double>(std::accumulate(qWeights_.begin(), qWeights_.end(), 0.0f)));
  rowBegin_ = rowEnd_ = 0;
  bool any = false;
  for (int32_t r = 0; r < wh; ++r)
    for (int32_t c = 0; c < ww; ++c)
      if (qWeights_[static_cast<size_t>(r) * ww + c] != 0.0f) {
        if (!any) rowBegin_ = static_cast<size_t>(r);
        any = true;
        rowEnd_ = static_cast<size_t>(r) + 1;
        break;
      }

  std::vector<float> pooled(3 * pooledPlane_), pooledW(pooledPlane_);
  avgPool(planes.data(), 3, wh, ww, 4, pooled.data());
  avgPool(qWeights_.data(), 1, wh, ww, 4, pooledW.data());
  qPooled_.resize(pooled.size());
  qPooledW_.resize(pooledW.size());
  simd::f32ToF16(pooled.data(), qPooled_.data(), pooled.size());
  simd::f32ToF16(pooledW.data(), qPooledW_.data(), pooledW.size());
  float wp = 0;
  for (const uint16_t h : qPooledW_) wp += half::toFloat(h);
  // Any positive normaliser ranks the same; none at all must not divide by 0.
  Wp_ = wp > 0 ? wp : 1.0;
}

std::vector<int32_t> TeethPass::retrieve(const Pending& p) {
  const size_t n = static_cast<size_t>(n_);
  std::vector<float> s(n);
  pool::parallelRange(n, 8, [&](size_t begin, size_t end) {
    for (size_t d = begin; d < end; ++d)
      s[d] = half::round(simd::retrieveTermPooled(pooled_.data() + d * 3 * pooledPlane_, qPooled_.data(),
                                                  qPooledW_.data(), pooledPlane_)) /
             static_cast<float>(Wp_);
  });
  const std::vector<size_t> order = stableOrder(s, n);
  const size_t m = std::min(static_cast<size_t>(cfg_.kshort), n);

  const size_t px = static_cast<size_t>(st_.window_h) * st_.window_w;
  std::vector<float> e(m, 0.0f);
  pool::parallelRange(m, 1, [&](size_t begin, size_t end) {
    std::vector<uint8_t> win(px * 3);
    std::vector<uint16_t> planes(px * 3);
    for (size_t k = begin; k < end; ++k) {
      gatherWindowU8(static_cast<int32_t>(order[k]), p.dy, p.dx, win.data());
      simd::rgb8ToPlanarF16(win.data(), planes.data(), px, px);
      e[k] = simd::retrieveTermExactRange(planes.data(), qPlanes_.data(), qWeights_.data(), px,
                                          rowBegin_ * st_.window_w, rowEnd_ * st_.window_w) /
             static_cast<float>(W_);
    }
  });
  std::vector<int32_t> ranked;
  for (const size_t k : stableOrder(e, m)) ranked.push_back(static_cast<int32_t>(order[k]));
  return retrieveSelect(ranked, aperture_, cfg_);
}

std::vector<int32_t> retrieveSelect(const std::vector<int32_t>& ranked, const std::vector<double>& aperture,
                                    const ServeConfig& cfg) {
  const int32_t best = ranked.at(0);
  const double aRef = aperture[best];
  const size_t K = static_cast<size_t>(cfg.K);
  std::vector<int32_t> keep;
  for (size_t k = 0; k < std::min(static_cast<size_t>(cfg.cut), ranked.size()) && keep.size() < K; ++k) {
    const int32_t d = ranked[k];
    if (std::fabs(aperture[d] - aRef) <= std::max(1e-6, aRef) * cfg.aperture_tol) keep.push_back(d);
  }
  if (keep.empty()) keep.push_back(best);
  while (keep.size() < K) keep.push_back(keep.back());
  return keep;
}

int TeethPass::push(int64_t frameIndex, const uint8_t* rgb, const uint8_t* mask, const int32_t* shift,
                    FrameResult* out) {
  Pending p;
  p.index = frameIndex;
  const Region& g = region_;
  p.rgb.resize(static_cast<size_t>(g.w) * g.h * 3);
  p.mask.resize(static_cast<size_t>(g.w) * g.h);
  for (int32_t y = g.y0; y < g.y0 + g.h; ++y) {
    const size_t from = static_cast<size_t>(y) * st_.canvas_w + g.x0, to = g.at(g.x0, y);
    std::memcpy(p.rgb.data() + to * 3, rgb + from * 3, static_cast<size_t>(g.w) * 3);
    std::memcpy(p.mask.data() + to, mask + from, static_cast<size_t>(g.w));
  }
  deriveShift(p, mask, shift);
  if (p.valid) {
    retrievePrepare(p);
    p.selection = retrieve(p);
  }
  int emitted = 0;
  if (holding_) {
    emit(held_, p.valid ? &p.selection : nullptr, out);
    emitted = 1;
  }
  held_ = std::move(p);
  holding_ = true;
  return emitted;
}

int TeethPass::flush(FrameResult* out) {
  if (!holding_) return 0;
  emit(held_, nullptr, out);
  holding_ = false;
  works().trim();  // a stream's speech has ended: the sets no pass holds now go, and idle streams hold none
  return 1;
}

void TeethPass::emit(const Pending& held, const std::vector<int32_t>* look, FrameResult* out) {
  *out = FrameResult();
  if (!held.valid) {
    out->passthrough = true;
    out->reason = held.reason;
    return;
  }
  const size_t K = static_cast<size_t>(cfg_.K);
  std::vector<int32_t> H(held.selection.begin(), held.selection.begin() + std::min(K, held.selection.size()));
  std::vector<int32_t> L;
  if (look && cfg_.use_lookahead)
    L.assign(look->begin(), look->begin() + std::min(static_cast<size_t>(cfg_.lookahead), look->size()));
  std::vector<int32_t> A;
  for (const int32_t d : H)
    if (!contains(L, d)) A.push_back(d);
  std::vector<int32_t> list;
  if (!carried_.empty() && lastEmitted_ == held.index - 1) {
    list = carried_;
    for (const int32_t d : L)
      if (!contains(carried_, d)) list.push_back(d);
    for (const int32_t d : A)
      if (!contains(carried_, d)) list.push_back(d);
  } else {
    list = L;
    list.insert(list.end(), A.begin(), A.end());
  }
  if (list.size() > K) list.resize(K);
  const int32_t count = static_cast<int32_t>(list.size());

  const int32_t wh = st_.window_h, ww = st_.window_w;
  const size_t px = static_cast<size_t>(wh) * ww;
  auto work = works().take();
  std::vector<float>& cand = work->cand;
  std::vector<float>& query = work->query;
  std::vector<uint8_t>& win = work->win;
  cand.assign(static_cast<size_t>(count) * 3 * px, 0.0f);
  query.assign(3 * px, 0.0f);
  win.assign(px * 3, 0);
  const std::array<float, 256>& units = byteUnits();
  for (int32_t k = 0; k < count; ++k) {
    gatherWindowU8(list[k], held.dy, held.dx, win.data());
    for (size_t i = 0; i < px; ++i)
      for (size_t c = 0; c < 3; ++c)
        cand[(static_cast<size_t>(k) * 3 + c) * px + i] = units[win[3 * i + c]];
  }
  for (int32_t r = 0; r < wh; ++r)
    for (int32_t c = 0; c < ww; ++c) {
      const size_t at = region_.at(st_.window_x0 + c, st_.window_y0 + r) * 3;
      for (size_t ch = 0; ch < 3; ++ch)
        query[ch * px + static_cast<size_t>(r) * ww + c] = units[held.rgb[at + ch]];
    }
  std::vector<float>& blended = work->blended;
  std::vector<float>& weights = work->weights;
  headForward(cand, count, query, &blended, &weights, *work);

  // The extra weight plane over the band (the blend leaves it at 0).
  const float* extra = weights.data() + static_cast<size_t>(count) * px;
  double sum = 0, pixels = 0;
  float mx = 0;
  for (size_t i = 0; i < px; ++i)
    if (bandMask_[i]) sum += extra[i], pixels += 1, mx = std::max(mx, extra[i]);
  out->extraMean = pixels > 0 ? static_cast<float>(sum / pixels) : 0.0f;
  out->extraMax = mx;
  ++statFrames_;
  statPixels_ += pixels;
  statMeanSum_ += out->extraMean;
  statMax_ = std::max(statMax_, mx);

  // The donors that carried most of this blend lead the next one.
  std::vector<float> negT(static_cast<size_t>(count));
  for (int32_t k = 0; k < count; ++k) {
    const float* w = weights.data() + static_cast<size_t>(k) * px;
    negT[k] = -std::accumulate(w, w + px, 0.0f);
  }
  const std::vector<size_t> byWeight = stableOrder(negT, static_cast<size_t>(count));
  carried_.clear();
  for (size_t k = 0; k < std::min(static_cast<size_t>(count), static_cast<size_t>(cfg_.hysteresis)); ++k)
    carried_.push_back(list[byWeight[k]]);
  lastEmitted_ = held.index;

  out->window.resize(px * 3);
  pool::parallelRange(static_cast<size_t>(wh), 8, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r)
      for (int32_t c = 0; c < ww; ++c) {
        const size_t i = r * ww + c;
        const float a = units[held.mask[region_.at(st_.window_x0 + c, st_.window_y0 + static_cast<int32_t>(r))]];
        for (size_t ch = 0; ch < 3; ++ch) {
          const float v = (1.0f - a) * query[ch * px + i] + a * blended[ch * px + i];
          out->window[i * 3 + ch] =
              static_cast<uint8_t>(std::min(255.0f, roundTiesEven(std::clamp(v, 0.0f, 1.0f) * 255.0f)));
        }
      }
  });
  out->passthrough = false;
  out->candidates = count;
}

LeasePool<TeethPass::Work>& TeethPass::works() {
  static auto* pool = new LeasePool<Work>(static_cast<size_t>(pool::threads()));
  return *pool;
}

void TeethPass::headForward(const std::vector<float>& cand, int32_t K, const std::vector<float>& query,
                            std::vector<float>* blended, std::vector<float>* weights) const {
  headForward(cand, K, query, blended, weights, *works().take());
}

void TeethPass::headForward(const std::vector<float>& cand, int32_t K, const std::vector<float>& query,
                            std::vector<float>* blended, std::vector<float>* weights, Work& work) const {
  const int32_t WH = st_.window_h, WW = st_.window_w, h = WH / 2, w = WW / 2;
  const size_t PX = static_cast<size_t>(WH) * WW, px = static_cast<size_t>(h) * w, k = static_cast<size_t>(K);
  std::vector<float>& qp = work.qp;
  std::vector<float>& in = work.in;
  qp.assign(3 * px, 0.0f);
  in.assign(k * 7 * px, 0.0f);
  avgPool(query.data(), 3, WH, WW, 2, qp.data());
  for (size_t j = 0; j < k; ++j) {
    float* x = in.data() + j * 7 * px;
    avgPool(cand.data() + j * 3 * PX, 3, WH, WW, 2, x);
    std::copy(qp.begin(), qp.end(), x + 3 * px);
    for (size_t i = 0; i < px; ++i)
      x[6 * px + i] = (std::fabs(x[i] - qp[i]) + std::fabs(x[px + i] - qp[px + i]) +
                       std::fabs(x[2 * px + i] - qp[2 * px + i])) /
                      3.0f;
  }
  auto conv = [&](const std::vector<float>& src, int cin, const std::vector<float>& wt, const std::vector<float>& b,
                  int cout, bool relu, std::vector<float>& dst) {
    dst.assign(k * static_cast<size_t>(cout) * px, 0.0f);
    const int planes = static_cast<int>(k) * cout;
    pool::parallelRange(static_cast<size_t>(planes), 1, [&](size_t begin, size_t end) {
      simd::conv3x3Range(src.data(), static_cast<int>(k), cin, h, w, wt.data(), b.data(), cout, dst.data(),
                         static_cast<int>(begin), static_cast<int>(end));
      if (relu)
        for (size_t i = begin * px; i < end * px; ++i) dst[i] = std::max(dst[i], 0.0f);
    });
  };
  std::vector<float>& a1 = work.a1;
  std::vector<float>& a2 = work.a2;
  std::vector<float>& logit = work.logit;
  conv(in, 7, head_.cand0_w, head_.cand0_b, 16, true, a1);
  conv(a1, 16, head_.cand2_w, head_.cand2_b, 16, true, a2);
  conv(a2, 16, head_.cand4_w, head_.cand4_b, 1, false, logit);

  weights->assign((k + 1) * PX, 0.0f);
  const float scaleY = static_cast<float>(h) / static_cast<float>(WH), scaleX = static_cast<float>(w) / static_cast<float>(WW);
  pool::parallelRange(static_cast<size_t>(WH), 8, [&](size_t begin, size_t end) {
    std::vector<float> l(k);
    for (size_t Y = begin; Y < end; ++Y) {
      const float sy = std::max(0.0f, (static_cast<float>(Y) + 0.5f) * scaleY - 0.5f);
      const int y0 = std::min(static_cast<int>(sy), h - 1), y1 = std::min(y0 + 1, h - 1);
      const float fy = sy - static_cast<float>(y0);
      for (int X = 0; X < WW; ++X) {
        const float sx = std::max(0.0f, (static_cast<float>(X) + 0.5f) * scaleX - 0.5f);
        const int x0 = std::min(static_cast<int>(sx), w - 1), x1 = std::min(x0 + 1, w - 1);
        const float fx = sx - static_cast<float>(x0);
        float top = -INFINITY;
        for (size_t j = 0; j < k; ++j) {
          const float* L = logit.data() + j * px;
          const float a = L[static_cast<size_t>(y0) * w + x0], b = L[static_cast<size_t>(y0) * w + x1];
          const float c = L[static_cast<size_t>(y1) * w + x0], d = L[static_cast<size_t>(y1) * w + x1];
          l[j] = (1.0f - fy) * ((1.0f - fx) * a + fx * b) + fy * ((1.0f - fx) * c + fx * d);
          top = std::max(top, l[j]);
        }
        float sum = 0;
        for (size_t j = 0; j < k; ++j) sum += (l[j] = std::exp(l[j] - top));
        const size_t i = Y * WW + static_cast<size_t>(X);
        for (size_t j = 0; j < k; ++j) (*weights)[j * PX + i] = l[j] / sum;
      }
    }
  });
  blended->assign(3 * PX, 0.0f);
  for (size_t c = 0; c < 3; ++c)
    for (size_t i = 0; i < PX; ++i) {
      if (!bandMask_[i]) {
        (*blended)[c * PX + i] = query[c * PX + i];
        continue;
      }
      float v = 0;
      for (size_t j = 0; j < k; ++j) v += (*weights)[j * PX + i] * cand[(j * 3 + c) * PX + i];
      (*blended)[c * PX + i] = v;
    }
}

}  // namespace le::tessera

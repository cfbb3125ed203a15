#include "tessera/stream_borrow.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "core/log.h"
#include "kernels/pool.h"

namespace le::tessera {
namespace {

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error(text); }

uint8_t toByte(float v) {
  if (!(v > 0.0f)) return 0;
  return static_cast<uint8_t>(roundTiesEven(std::min(v, 1.0f) * 255.0f));
}

void checkWindow(const FrameResult& r, int32_t side, const GeometryStamp& st) {
  if (static_cast<int64_t>(st.window_x0) + st.window_w > side || static_cast<int64_t>(st.window_y0) + st.window_h > side ||
      st.window_x0 < 0 || st.window_y0 < 0)
    refuse("teeth stream: a canvas of side " + std::to_string(side) + " does not hold the stamp window");
  if (r.window.size() != static_cast<size_t>(st.window_w) * st.window_h * 3)
    refuse("teeth stream: window " + std::to_string(r.window.size()) + " bytes does not match the stamp window " +
           std::to_string(st.window_w) + "x" + std::to_string(st.window_h) + " — refusing to write back");
}

// The borrowed 8-bit value plus the canvas's own residual below one 8-bit
// step: an unchanged pixel comes back exactly.
float delta(float v, uint8_t borrowed) {
  const float q = std::nearbyint(std::clamp(v, 0.0f, 1.0f) * 255.0f) / 255.0f;
  return std::clamp(static_cast<float>(borrowed) / 255.0f - q + v, 0.0f, 1.0f);
}

}  // namespace

StreamBorrow::StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config,
                           const UnifiedPi& pi, const std::string& lipTemplate)
    : TeethPass(bank, head, config), pi_(pi), side_(stamp().canvas_w) {
  const GeometryStamp& st = stamp();
  if (st.canvas_w != st.canvas_h)
    refuse("teeth stream: non-square compose canvas " + std::to_string(st.canvas_w) + "x" +
           std::to_string(st.canvas_h) + " — le_core renders a square crop");
  if (pi_.canvas() != st.canvas_w)
    refuse("teeth stream: manifest pi canvas " + std::to_string(pi_.canvas()) + " != bank compose canvas " +
           std::to_string(st.canvas_w) + " — refusing to compose a mouth on a canvas the stamp does not name");
  if (!lipTemplate.empty()) {
    lip_ = std::make_unique<LipContour>(LipContour::fromTemplateJson(lipTemplate, side_));
    log::printf(log::kInfo, "[borrow] delivery mask: LIP CONTOUR (%d verts, feather %.1f px) — the ellipse is not "
                            "reachable in this session",
                lip_->vertices(), static_cast<double>(lip_->feather()));
  } else {
    log::printf(log::kWarn, "[borrow] !!! delivery mask: ELLIPSE — this bundle carries no %s, so it serves the "
                            "over-covering elliptical mask the contour replaces. BACKFILL IT: "
                            "models/ostrane-2/tools/bake_lip_templates",
                "lip_template.v1.json");
  }
  rgb_.resize(static_cast<size_t>(side_) * side_ * 3);
  mask_.resize(static_cast<size_t>(side_) * side_);
}

// The pass reads the crop's pixels in its region alone: only those are
// converted (the rest of the scratch stays black).
int StreamBorrow::push(const float* planes, const float* keypoints, FrameResult* out) {
  const size_t px = static_cast<size_t>(side_) * side_;
  const Region& g = region();
  pool::parallelRange(static_cast<size_t>(g.h), 16, [&](size_t begin, size_t end) {
    for (size_t y = g.y0 + begin; y < g.y0 + end; ++y)
      for (size_t i = y * side_ + g.x0; i < y * side_ + g.x0 + g.w; ++i)
        for (size_t c = 0; c < 3; ++c) rgb_[3 * i + c] = toByte(planes[c * px + i]);
  });
  return pushScratch(keypoints, out);
}

int StreamBorrow::pushRgba(const uint8_t* rgba, const float* keypoints, FrameResult* out) {
  const Region& g = region();
  for (size_t y = g.y0; y < static_cast<size_t>(g.y0 + g.h); ++y)
    for (size_t i = y * side_ + g.x0; i < y * side_ + g.x0 + g.w; ++i)
      for (size_t c = 0; c < 3; ++c) rgb_[3 * i + c] = rgba[4 * i + c];
  return pushScratch(keypoints, out);
}

int StreamBorrow::pushScratch(const float* keypoints, FrameResult* out) {
  const double canon[2] = {this->canon()[0], this->canon()[1]};
  int32_t shift[2] = {0, 0};
  const bool usable = lip_ ? lip_->deliveredU8AndShift(keypoints, pi_, canon, mask_.data(), &shift[0], &shift[1])
                           : pi_.piU8AndShift(keypoints, canon, mask_.data(), &shift[0], &shift[1]);
  return TeethPass::push(next_++, rgb_.data(), mask_.data(), usable ? shift : nullptr, out);
}

void StreamBorrow::writeWindowDeltaRgba(uint8_t* rgba, int32_t side, const FrameResult& r, const GeometryStamp& st) {
  const size_t px = static_cast<size_t>(side) * side;
  for (size_t i = 0; i < px; ++i) rgba[4 * i + 3] = 255;
  if (r.passthrough) return;
  checkWindow(r, side, st);
  for (int32_t y = 0; y < st.window_h; ++y)
    for (int32_t x = 0; x < st.window_w; ++x)
      for (size_t c = 0; c < 3; ++c) {
        uint8_t& dst = rgba[(static_cast<size_t>(st.window_y0 + y) * side + st.window_x0 + x) * 4 + c];
        const float v = static_cast<float>(dst) / 255.0f;
        const float nv = delta(v, r.window[(static_cast<size_t>(y) * st.window_w + x) * 3 + c]);
        dst = static_cast<uint8_t>(std::nearbyint(nv * 255.0f));
      }
}

void StreamBorrow::writeWindowDelta(float* planes, int32_t side, const FrameResult& r, const GeometryStamp& st) {
  if (r.passthrough) return;
  checkWindow(r, side, st);
  const size_t px = static_cast<size_t>(side) * side;
  for (int32_t y = 0; y < st.window_h; ++y)
    for (int32_t x = 0; x < st.window_w; ++x)
      for (size_t c = 0; c < 3; ++c) {
        float& dst = planes[c * px + static_cast<size_t>(st.window_y0 + y) * side + st.window_x0 + x];
        dst = delta(dst, r.window[(static_cast<size_t>(y) * st.window_w + x) * 3 + c]);
      }
}

std::unique_ptr<StreamBorrow> makeStreamBorrow(const BankData& bank, const std::vector<uint8_t>& headPt,
                                               const std::string& headConfig, const std::string& manifestJson,
                                               int32_t crop, const float* xsTarget, int32_t nt,
                                               const std::string& lipTemplate, std::string* geometry) {
  const GeometryStamp& st = bank.stamp;
  st.validate();
  if (st.canvas_w != crop || st.canvas_h != crop)
    refuse("bank canvas " + std::to_string(st.canvas_w) + "x" + std::to_string(st.canvas_h) +
           " != this bundle's render crop " + std::to_string(crop));
  const ServeConfig config = ServeConfig::fromHeadMemberJson(headConfig);
  const HeadWeights head = loadHeadPt(headPt);
  if (nt < 1 || !xsTarget)
    refuse("xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame cannot be identified — "
           "refusing to arm the borrow against the manifest's compose-field geometry");
  std::string name;
  const UnifiedPi pi = UnifiedPi::corpusFromManifestJson(manifestJson, crop, xsTarget, nt, bank.c_canon.data(), &name);
  auto borrow = std::make_unique<StreamBorrow>(bank, head, config, pi, lipTemplate);
  if (geometry)
    for (const CorpusGeometry& g : kCorpusGeometries)
      if (name == g.name) {
        char text[160];
        std::snprintf(text, sizeof text, "%s: pad_x %.3f, pad_y %.3f, down %.3f on a %d canvas", g.name,
                      static_cast<double>(g.padX), static_cast<double>(g.padY), static_cast<double>(g.down), crop);
        *geometry = text;
      }
  return borrow;
}

}  // namespace le::tessera

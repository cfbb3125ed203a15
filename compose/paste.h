// The paste compositor: sharpens a rendered face crop and pastes it into the
// full RGB24 frame through the frame's paste transform and a soft mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/frame_window.h"
#include "core/page_buffer.h"

#include "core/manifest.h"
#include "core/settings.h"

namespace le {

// A crop holding NaN or infinite values: pasted, it would be a black face.
class NonFiniteCrop : public std::runtime_error {
 public:
  explicit NonFiniteCrop(size_t n)
      : std::runtime_error("paste: the crop holds " + std::to_string(n) + " non-finite values"), count(n) {}
  size_t count;
};

// What a composite writes as it goes: grown to the largest compositor that
// used it. Lent from a pool the streams of an avatar share (only as many
// composite at once as there are cores), or a compositor's own.
struct PasteScratch {
  PageBuffer<float> planes[3];
  PageBuffer<float> packed;
  PageBuffer<float> padBuf, blurBuf;
  std::vector<int32_t> colU, colV;
  PageBuffer<uint8_t> frame;  // a whole frame or window, for a caller that pastes before converting
};

class Paste {
 public:
  // mask: side x side bytes (0 keeps the frame, 255 takes the crop). Throws
  // "paste: mask size", "paste: ksize must be odd" or "paste: side > 1024".
  // settings: the sampling mode and a smaller unsharp kernel.
  Paste(std::vector<uint8_t> mask, int side, const Unsharp& unsharp, const PasteSettings& settings = {});

  static constexpr int kMaxSide = 1024, kMaxKsize = 127;
  // The settings this compositor can serve, checked before anything is
  // allocated for them. Throws "paste: side > 1024" or a refusal naming an
  // unsharp sigma that is not a positive finite number, an amount outside
  // [0, 10], or a ksize that is even, below 1, above 2 x side + 1 or above
  // kMaxKsize.
  static void checkSettings(int side, const Unsharp& unsharp);
  // Throws when the transform's fixed-point image over a W x H frame would
  // not fit the compositor's 32-bit coordinates (a crop scaled down to a
  // speck, or placed absurdly far away).
  static void checkTransform(const float* M, int side, int W, int H);
  // The part of a W x H frame a composite through M may write (the crop's
  // image with the interpolation's reach); false when it misses the frame.
  static bool region(const float* M, int side, int W, int H, FrameWindow* out);

  // crop: planar [3][side][side] floats, multiplied by `scale`; M maps crop
  // pixel (x, y) to frame pixel (a x + b y + c, d x + e y + f). The frame is
  // RGB24, or RGBA with pixelBytes 4 (alpha left alone). Sharpened values
  // are clamped to [0, 255] with NaN taken as 0, so nothing non-finite
  // reaches a byte. Returns how many values of scale * crop are not finite
  // (counted while they are read, 0 when the crop lies off the frame); the
  // caller decides what such a frame is worth. Throws checkTransform's
  // refusal. With a window, `frame` holds only that part of the W x H frame
  // (win->w x win->h pixels, its top left pixel first) and gets the bytes
  // the whole frame would get there; the transform is still checked over
  // the whole frame.
  // With the compositor's own scratch, or with `scratch` (which no other
  // composite may use meanwhile).
  size_t composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H, int pixelBytes = 3,
                   const FrameWindow* win = nullptr);
  size_t composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H, int pixelBytes,
                   const FrameWindow* win, PasteScratch& scratch);
  // No GPU executor exists; callers use composite.
  bool compositeGpuRgba() const { return false; }

  int side;
  int ksize;
  int padded;
  float amount;
  int fast;
  std::vector<uint8_t> mask;
  std::vector<float> gauss, lanczosTab, linearTab, cubicTab;
 private:
  // Grows `s` to this compositor's sizes (pages mapped when first touched).
  void fit(PasteScratch& s) const;
  // Sharpens plane ch of scale * crop into s.planes[ch] (and, for the last
  // plane in the Lanczos mode, interleaves the three into s.packed).
  // Returns how many values of the plane are not finite.
  size_t unsharpPlane(int ch, const float* crop, float scale, PasteScratch& s) const;
  void pasteRow(int Y, int x0, int x1, int32_t rowU, int32_t rowV, uint8_t* frame, int W, int pixelBytes,
                const PasteScratch& s) const;

  std::unique_ptr<PasteScratch> own_;
};

}  // namespace le

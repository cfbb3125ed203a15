#include "audio/keypoint_stream.h"

#include "audio/a2x.h"
#include "audio/motion.h"
#include "core/bundle.h"
#include "core/files.h"

namespace le::audio {

bool isA2xBundle(const std::string& dir, const BundleSettings& where) {
  return regularFileSize(resolveMember(resolveBundlePath(dir, where.unwrapRoot), "a2x_enc_stream.onnx")) >= 0;
}

std::unique_ptr<KeypointStream> openKeypointStream(const std::string& dir, int threads, const std::string& ep,
                                                   const AudioSettings& audio, const BundleSettings& where) {
  if (isA2xBundle(dir, where))
    return std::make_unique<Sticky<a2x::A2x>>(a2x::A2x::create(dir, threads, audio, where), "le_a2x extend: ");
  return std::make_unique<Sticky<motion::Motion>>(motion::Motion::create(dir, threads, ep, audio.motionDump), "");
}

}  // namespace le::audio

#include "core/settings.h"

#include <algorithm>
#include <cstdlib>

namespace le {
namespace {

std::string text(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

char first(const char* name) {
  const char* v = std::getenv(name);
  return v ? v[0] : '\0';
}

// A decimal integer (strtol), or `dflt` when unset or empty.
long integer(const char* name, long dflt) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtol(v, nullptr, 10) : dflt;
}

// A worker count: 0 when unset or empty, else within [1, 2^20].
int count(const char* name) {
  if (text(name).empty()) return 0;
  return static_cast<int>(std::clamp<long>(integer(name, 0), 1, 1 << 20));
}

}  // namespace

Settings fromEnvironment() {
  Settings s;
  s.bundle.unwrapRoot = text("LE_IMX_UNWRAP_ROOT");
  s.bundle.msrcMissingOk = text("OSTRANE2_MSRC_MISSING_OK") == "1";

  s.render.gsFast = first("LE_GS_FAST") != '0';
  s.render.gsRewrite = first("LE_GS_REWRITE") != '0';
  s.render.neon = text("LE_CONV_BACKEND") == "neon";
  s.render.spin = first("LE_ORT_SPIN") == '1';
  s.render.profile = text("LE_ORT_PROFILE");
  s.render.hoist = first("LE_SOURCE_HOIST") != '0';
  s.render.warpNode = !text("LE_WARP_NODE").empty() && first("LE_WARP_NODE") != '0';
  s.render.fuse = first("LE_FUSE") != '0';

  s.driver.hwdec = text("LE_DRIVER_HWDEC") != "0";
  s.driver.preferVideo = first("LE_DRIVER_PREFER_MP4") == '1';

  s.paste.fast = static_cast<int>(std::clamp<long>(integer("LE_PASTE_FAST", 0), -1, 3));
  s.paste.ksize = static_cast<int>(std::clamp<long>(integer("LE_PASTE_KSIZE", 0), 0, 1 << 16));

  s.audio.w2v = text("W2V_ONNX");
  s.audio.w2vWindow = text("LE_A2X_W2V_WIN_ONNX");
  s.audio.w2vHead = text("LE_A2X_W2V_HEAD_ONNX");
  s.audio.right = static_cast<int>(std::clamp<long>(integer("LE_A2X_W2V_RIGHT", 12), 0, 1 << 20));
  if (!text("LE_A2X_SILENCE_PRIME").empty())
    s.audio.silencePrime = std::max(0L, integer("LE_A2X_SILENCE_PRIME", 0));
  s.audio.cuda = text("LE_A2X_CUDA") == "1";
  s.audio.cudaMemMib = integer("LE_A2X_CUDA_MEM_MIB", 0);
  s.audio.motionDump = text("LE_MOTION_DUMP");

  if (!text("LE_UTT_PIPELINE_PASTE").empty()) s.session.pipelinePaste = integer("LE_UTT_PIPELINE_PASTE", 0) != 0;
  s.session.steadyModel = text("LE_STEADY_MODEL");
  if (!text("LE_UTT_ONSET_SI").empty()) s.session.onsetSi = integer("LE_UTT_ONSET_SI", -1);
  const std::string hybrid = text("LE_UTT_HYBRID");
  s.session.hybrid = !hybrid.empty() && hybrid != "0";
  s.session.stageReport = !text("LE_UTT_STAGE_REPORT").empty();

  s.coreThreads = count("LE_CORE_THREADS");
  if (s.coreThreads == 0) s.coreThreads = count("LE_PASTE_THREADS");
  return s;
}

}  // namespace le

// Every switch a host can set, as values. The environment is the default of
// each one and is read in one place only, `fromEnvironment`; the C entry
// points that create something (or take an options struct whose fields say
// "the default") call it once and hand the values down, so nothing deeper
// reads the environment and two streams in one process may differ.
#pragma once

#include <string>

namespace le {

// Where IMX containers are unwrapped and whether a manifest without a
// paste-space stamp may load: properties of the bundles on this machine.
struct BundleSettings {
  std::string unwrapRoot;      // LE_IMX_UNWRAP_ROOT; "" = beside the container
  bool msrcMissingOk = false;  // OSTRANE2_MSRC_MISSING_OK exactly "1"
};

// The director's load switches; they change what is loaded, so they are part
// of a loaded avatar's identity.
struct RenderSettings {
  bool gsFast = true;        // LE_GS_FAST not starting with '0'
  bool gsRewrite = true;     // LE_GS_REWRITE not starting with '0'
  bool neon = false;         // LE_CONV_BACKEND == "neon" (unavailable here: a warning)
  bool spin = false;         // LE_ORT_SPIN starting with '1'
  std::string profile;       // LE_ORT_PROFILE: profiling file prefix, "" for none
  bool hoist = true;         // LE_SOURCE_HOIST not starting with '0': split the source cone off
  bool warpNode = false;     // LE_WARP_NODE set, non-empty, not starting with '0': the warp block as one node
  bool fuse = true;          // LE_FUSE not starting with '0': runs of element-wise nodes as one node each
};

struct DriverSettings {
  bool hwdec = true;         // LE_DRIVER_HWDEC not exactly "0"
  bool preferVideo = false;  // LE_DRIVER_PREFER_MP4 starting with '1'
};

struct PasteSettings {
  int fast = 0;   // LE_PASTE_FAST: 0 Lanczos, 1 bicubic, 2 bilinear (other values: 0)
  int ksize = 0;  // LE_PASTE_KSIZE: a smaller odd unsharp kernel, 0 = the manifest's
};

// The audio engines: which shared encoders, and the streaming frontend's
// right context and silence priming.
struct AudioSettings {
  std::string w2v;        // W2V_ONNX: the shared 8 s encoder
  std::string w2vWindow;  // LE_A2X_W2V_WIN_ONNX and
  std::string w2vHead;    // LE_A2X_W2V_HEAD_ONNX: the short-window pair (both or neither)
  int right = 12;         // LE_A2X_W2V_RIGHT, clamped to >= 0
  long silencePrime = -1; // LE_A2X_SILENCE_PRIME; -1 = the bundle's own value
  bool cuda = false;      // LE_A2X_CUDA exactly "1"
  long cudaMemMib = 0;    // LE_A2X_CUDA_MEM_MIB; <= 0 = 3072
  std::string motionDump; // LE_MOTION_DUMP: a directory for the motion engine's debug arrays
};

struct SessionSettings {
  int pipelinePaste = -1;   // LE_UTT_PIPELINE_PASTE: 0 / 1; -1 = by the audio engine
  std::string steadyModel;  // LE_STEADY_MODEL; "" = the session's option
  long onsetSi = -1;        // LE_UTT_ONSET_SI; < 0 = where the idle walk is
  bool hybrid = false;      // LE_UTT_HYBRID set, non-empty and not "0"
  bool stageReport = false; // LE_UTT_STAGE_REPORT set and non-empty
};

struct Settings {
  BundleSettings bundle;
  RenderSettings render;
  DriverSettings driver;
  PasteSettings paste;
  AudioSettings audio;
  SessionSettings session;
  int coreThreads = 0;  // LE_CORE_THREADS, else LE_PASTE_THREADS; 0 = unset
};

// The environment's values of every setting (the defaults above where unset).
Settings fromEnvironment();

}  // namespace le

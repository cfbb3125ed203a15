// The process-wide audio feature encoders, shared by every audio handle: the
// 8 s window encoder and the short-window trunk/head pair named by the audio
// settings or found beside it. Each is loaded at most once per process (by
// the settings of the first handle that needs it) and never unloaded. Also
// the owner thread that runs onnxruntime work for handles that ask for CUDA.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/settings.h"

namespace le::a2x {

// The shared 8 s encoder, loading it from `path` on the first call (later
// calls return it whatever path they name). Load errors propagate.
Ort::Session* get_shared_w2v(const std::string& path, int threads, const AudioSettings& audio);

// True when the short-window pair is loaded; the pair is looked for once per
// process (the settings' window/head pair, else beside the 8 s encoder).
bool get_shared_w2v_win(int threads, const AudioSettings& audio);

// The loaded pair; trunk and head are null before a successful
// get_shared_w2v_win.
struct WinPair {
  Ort::Session* trunk = nullptr;
  Ort::Session* head = nullptr;
  std::string trunkOut;
  int lt = 0;  // trunk time steps; 0 until known
};
WinPair shared_w2v_win();
// Records the trunk's time steps learned from its first output.
void learn_w2v_win_lt(int lt);

// The 8 s encoder's output for an all-zero window (12 x 200 x 768), computed
// once per process.
const std::vector<float>& shared_zero_embedding(Ort::Session* w2v, bool cuda);

// Runs `job` (inline, or on the owner thread when `cuda`) and rethrows its
// exception.
void le_a2x_on_owner_thread(const std::function<void()>& job, bool cuda);

// Size of the file in bytes; -1 for NULL, "" or an unreadable file.
long long w2v_file_bytes(const char* path);

}  // namespace le::a2x

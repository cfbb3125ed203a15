// Speech input for the command-line tool: any file FFmpeg decodes, as 16 kHz
// mono float samples (channels averaged, other rates resampled).
#pragma once

#include <string>
#include <vector>

namespace le::tools {

// Throws std::runtime_error with the reason.
std::vector<float> readSpeech(const std::string& path);

// Resamples mono audio from `rate` to 16000 Hz with a windowed-sinc filter
// (cut-off at the lower Nyquist frequency).
std::vector<float> resampleTo16k(const std::vector<float>& x, int rate);

}  // namespace le::tools

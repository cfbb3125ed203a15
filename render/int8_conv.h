// Int8ConvVNNI (domain "com.corvalux.int8"): a convolution on uint8
// activations quantised per run and int8 weights with per-channel scales.
#pragma once

namespace Ort {
struct SessionOptions;
}

namespace le {

void registerInt8ConvVNNI(Ort::SessionOptions& opts);
// True on CPUs with AVX-VNNI or AVX512-VNNI (the interior dot-product path).
bool int8VnniAvailable();
// Tests only: run every pixel on the scalar path.
void setInt8ScalarOnly(bool on);

}  // namespace le

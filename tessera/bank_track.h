// The donor bank's video track, decoded from memory into the donor band.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace le::tessera {

// n patches of height x width RGB24 in donor order: decoded frame k lands in
// slot trackOrder[k]. Throws naming the refusal.
std::vector<uint8_t> decodeBankTrack(const uint8_t* bytes, size_t size, int32_t n, int32_t height, int32_t width,
                                     const std::vector<int32_t>& trackOrder);

// "libavcodec <version built against> / <configuration>".
std::string bankDecoderBuild();

}  // namespace le::tessera

// The mouth bank's JSON reader and the sidecar checks over arbitrary text:
// the input up to its first zero byte is the sidecar, the rest the manifest.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "tessera/json.h"
#include "tessera/members.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string all(reinterpret_cast<const char*>(data), size);
  const size_t cut = all.find('\0');
  const std::string sidecar = all.substr(0, cut);
  le::TesseraAttachInputs in;
  if (cut != std::string::npos) in.manifest_json = all.substr(cut + 1);
  try {
    le::tessera::json::parseJson(all, "fuzz");
  } catch (const std::runtime_error&) {
  }
  try {
    le::readBankRecord(in, sidecar, "side.json", "manifest.json", "/fuzz");
    // A record that loads is one the pass can index without a bounds check.
    if (in.n_donors < 1 || in.n_donors > 1024 || in.band_w < 1 || in.band_h < 1) std::abort();
    if (in.track_order.size() != static_cast<size_t>(in.n_donors) || in.cent.size() != 2 * in.track_order.size() ||
        in.aperture.size() != in.track_order.size() || in.bank_pix_fmt.empty())
      std::abort();
    std::vector<char> seen(in.track_order.size(), 0);
    for (const int32_t r : in.track_order) {
      if (r < 0 || r >= in.n_donors || seen[static_cast<size_t>(r)]) std::abort();
      seen[static_cast<size_t>(r)] = 1;
    }
  } catch (const std::runtime_error&) {
  }
  return 0;
}

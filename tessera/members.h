// The mouth bank a bundle carries: four members (the bank track, its sidecar,
// the blend head's weights and config), all present or the borrow is refused.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/json.h"

namespace le {

struct Manifest;

constexpr int kTesseraSlots = 4;
const std::array<const char*, kTesseraSlots>& tesseraSlotKeys();
int tesseraSlotCount();

// The default member file names, one per slot.
struct TesseraSlots {
  std::array<std::string, kTesseraSlots> names = {"tessera_bank.v1.mp4", "tessera_bank.v1.json",
                                                  "tessera_head.v1.pt", "tessera_head.v1.json"};
};

struct TesseraCarriage {
  std::array<std::string, kTesseraSlots> names = TesseraSlots().names;
  std::array<std::string, kTesseraSlots> paths;
  bool complete = false;
  std::vector<std::string> missing;  // slot keys, in slot order
  bool declared = false;             // the manifest carries a `tessera` object
  std::vector<std::string> planes;

  // The path of the slot `key`; throws for a key that names no slot.
  const std::string& path(const std::string& key) const;
};

class MissingTesseraMember : public std::runtime_error {
 public:
  MissingTesseraMember(const std::string& text, std::vector<std::string> missingKeys)
      : std::runtime_error(text), missing(std::move(missingKeys)) {}
  std::vector<std::string> missing;
};

struct TesseraAttachInputs {
  int32_t n_donors = 0;
  std::vector<int32_t> track_order;  // frame k of the track is donor track_order[k]
  std::vector<double> cent;          // x, y per donor
  std::array<double, 2> c_canon = {0, 0};
  std::vector<double> aperture;
  tessera::Stamp stamp = {};
  std::vector<uint8_t> head_pt;
  std::string head_json;
  std::string manifest_json;
  std::string bank_track_path;
  std::string bank_container = "mp4";
  std::string bank_codec;
  std::string bank_pix_fmt;
  std::string bank_packing = "rgb24_frames";
  int32_t band_w = 0;
  int32_t band_h = 0;

  uint64_t bandBytes() const {
    return static_cast<uint64_t>(n_donors) * static_cast<uint64_t>(band_h) * static_cast<uint64_t>(band_w) * 3u;
  }
};

// The first of manifest.json, meta.json that opens in `dir`; "" when neither.
std::string tesseraManifestPath(const std::string& dir);

TesseraCarriage tesseraCarriage(const std::string& bundle);
TesseraCarriage tesseraCarriage(const Manifest& manifest);

// Returns when all four are present; throws MissingTesseraMember otherwise.
void requireTesseraMembers(const TesseraCarriage& carriage);

TesseraAttachInputs loadTesseraMembers(const std::string& bundle);
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest);

// The checks of loadTesseraMembers over texts already read: the sidecar
// (named `label` in messages) against in.manifest_json; fills the record.
void readBankRecord(TesseraAttachInputs& in, const std::string& sidecar, const std::string& label,
                    const std::string& manifestPath, const std::string& dir);

// Copies the decoded track (frames in track order, band_h*band_w*3 bytes
// each) into `band` in donor order.
void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* band);

}  // namespace le

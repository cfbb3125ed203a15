// Arming an utterance session with the mouth pass, and the le_utt_tessera_
// functions.
#include <stdexcept>

#include "core/api.h"
#include "le/le.h"
#include "session/utt.h"
#include "tessera/geometry.h"
#include "tessera/head_weights.h"
#include "tessera/teeth_pass.h"

void le_utt::tesseraAttach(const le::tessera::BankData& bank, const std::vector<uint8_t>& headPt,
                           const std::string& headConfig, const std::string& manifestJson) {
  const bool track = nt_ >= 1 && xsTarget_.size() == static_cast<size_t>(nt_) * le::utt::kKp;
  std::string geometry;
  auto borrow = le::tessera::makeStreamBorrow(bank, headPt, headConfig, manifestJson, crop_,
                                              track ? xsTarget_.data() : nullptr, nt_,
                                              engine_.manifest().lipTemplate, &geometry);
  tess_->install(std::move(borrow), pipelined_, geometry);
}

extern "C" {

int le_utt_tessera_attach(le_utt* u, const uint8_t* band, int n_donors, const double* cent, const double* c_canon,
                          const double* aperture, const int32_t* stamp, const uint8_t* head_pt, int head_pt_len,
                          const char* head_config, const char* manifest_json, char* err, int err_cap) {
  le::api::fill_err(err, err_cap, "");
  std::string text;
  try {
    if (!u) throw le::api::RawFailure{"le_utt_tessera_attach: null session"};
    if (!band || !cent || !c_canon || !aperture || !stamp || !head_pt || !head_config || !manifest_json)
      throw le::api::RawFailure{
          "le_utt_tessera_attach: a required member is null — this ABI has no partial-attach state"};
    if (n_donors < 1) throw le::api::RawFailure{"le_utt_tessera_attach: n_donors <= 0"};
    // The bank builder's cap; it also bounds what the copies below read.
    if (n_donors > 1024 || head_pt_len < 0)
      throw le::api::RawFailure{"le_utt_tessera_attach: n_donors over 1024 or a negative head_pt_len"};
    const le::tessera::BankData bank = le::tessera::bankFromArrays(band, n_donors, cent, c_canon, aperture, stamp);
    u->tesseraAttach(bank, std::vector<uint8_t>(head_pt, head_pt + head_pt_len), head_config, manifest_json);
    return 0;
  } catch (const le::api::RawFailure& e) {
    text = e.text;
  } catch (const std::exception& e) {
    text = std::string("le_utt_tessera_attach: ") + e.what();
  } catch (...) {
    text = "le_utt_tessera_attach: unknown failure";
  }
  le::api::fill_err(err, err_cap, text.c_str());
  return 1;
}

int le_utt_tessera_stats(le_utt* u, uint64_t* borrowed, uint64_t* passthrough, char* reason, int capacity) {
  return le::api::guardQuiet(0, [&] {
    if (!u) return 0;
    std::string why;
    const int armed = u->tess().stats(borrowed, passthrough, &why);
    if (armed) le::api::fill_err(reason, capacity, why.c_str());
    return armed;
  });
}

int le_utt_tessera_synth_w(le_utt* u, double* mean, double* max, uint64_t* count) {
  return le::api::guardQuiet(0, [&] { return u && u->tess().synthW(mean, max, count) ? 1 : 0; });
}

int le_utt_tessera_geometry(le_utt* u, char* buf, int capacity) {
  return le::api::guardQuiet(0, [&] {
    if (!buf || capacity <= 0) return 0;
    std::string text;
    const bool armed = u && u->tess().geometry(&text);
    le::api::fill_err(buf, capacity, armed ? text.c_str() : "");
    return armed ? 1 : 0;
  });
}

}  // extern "C"

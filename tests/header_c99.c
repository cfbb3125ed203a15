/* Both public headers must compile as strict C99 and be usable from C. */
#include "le/le.h"
#include "le/le_a2x.h"

#include <stdio.h>
#include <string.h>

int main(void) {
  char out[16];
  int fails = 0;
  if (le_host_kp_rows() != 21) fails++;
  if (le_bundle_resolve_handle(NULL, out, sizeof out) != -1) fails++;
  if (le_bundle_resolve_member("x", NULL, out, sizeof out) != -1) fails++;
  if (strcmp(le_last_error(), "") != 0) fails++;
  if (!le_motion_last_error() || !le_fca_last_error() || !le_stream_last_error() || !le_utt_last_error() ||
      !le_a2x_last_error())
    fails++;
  if (le_prior_open(NULL, 2, 2) != NULL || strcmp(le_prior_backend(NULL), "") != 0 || le_prior_row_bytes(NULL) != 0)
    fails++;
  le_prior_close(NULL);
  {
    le_ctx* ctx = le_create(NULL, "b1", 0, NULL);
    float kp[63] = {0};
    uint8_t px[4];
    if (ctx != NULL || strcmp(le_last_error(), "le_create: NULL bundle_dir/model_key") != 0) fails++;
    if (le_nt(ctx) || le_width(ctx) || le_height(ctx) || le_crop(ctx) || le_drive_frames(ctx) ||
        le_crop_transform(ctx, 0, kp))
      fails++;
    if (le_render_kp_crop(ctx, 0, kp, kp) || le_render_drive_crop(ctx, 0) || le_paste_crop(ctx, 0, kp, px, 4) ||
        le_paste_last(ctx, 0) || le_render_kp_rgba(ctx, 0, kp, kp, px, 4) || le_render_drive_rgba(ctx, 0, px, 4) ||
        le_target_frame(ctx, 0) || le_render_kp_i420(ctx, 0, kp, kp, NULL))
      fails++;
    le_destroy(ctx);
  }
  {
    le_a2x* a = le_a2x_create(NULL, 1);
    float x[4] = {0};
    int idx[1];
    if (a != NULL || strcmp(le_a2x_last_error(), "le_a2x_create: bad args") != 0) fails++;
    if (le_a2x_push(a, x, 4) != 0 || le_a2x_avail(a) != -1 || le_a2x_total(a) != -1 || le_a2x_nt(a) != 0 ||
        le_a2x_width(a) != 0 || le_a2x_pull(a, idx, x, x, 1) != 0 || le_a2x_pull_wn(a, idx, x, x, x, 1) != 0 ||
        le_a2x_deltas(a, x, 4, x, 1) != -1 || le_a2x_deltas_wn(a, x, 4, x, x, 1) != -1 || le_a2x_w2v8_lazy() != 1)
      fails++;
    le_a2x_finish(a);
    le_a2x_reset(a, 0, 1, 1);
    le_a2x_set_eager(a, 1);
    if (strcmp(le_a2x_last_error(), "le_a2x_set_eager: bad args") != 0) fails++;
    le_a2x_destroy(a);
  }
  {
    le_motion* m = le_motion_create(NULL, 1, NULL);
    float x[63] = {0};
    int idx[1];
    if (m || le_motion_push(m, x, 1) != 0 || le_motion_avail(m) != 0 || le_motion_pull(m, idx, x, x, 1) != 0 ||
        le_motion_total(m) != -1 || le_motion_nt(m) != 0)
      fails++;
    le_motion_finish(m);
    if (strcmp(le_motion_last_error(), "le_motion_finish: bad args") != 0) fails++;
    le_motion_reset(m, 0, 1, 1);
    le_motion_set_eager(m, 1);
    if (strcmp(le_motion_last_error(), "le_motion_set_eager: bad args") != 0) fails++;
    le_motion_destroy(m);
  }
  {
    le_utt_opts o;
    le_utt_stats st;
    int16_t pcm[4] = {0};
    le_utt_opts_default(NULL);
    le_utt_opts_default(&o);
    if (o.size != sizeof o || le_utt_create(NULL, &o) != NULL ||
        strcmp(le_utt_last_error(), "le_utt_create: NULL ctx/opts") != 0)
      fails++;
    if (le_utt_push_audio(NULL, pcm, 4) != 0 || strcmp(le_utt_last_error(), "le_utt_push_audio: bad args") != 0 ||
        le_utt_ready(NULL) != -1 || le_utt_frames_available(NULL) != 0 || le_utt_pull_frame(NULL, NULL, 0, NULL) != 0 ||
        le_utt_pull_frame_i420(NULL, NULL, NULL) != 0 ||
        le_utt_get_stats(NULL, &st) != 0 || le_utt_render_status(NULL, NULL, 0, NULL) != -1)
      fails++;
    le_utt_interrupt(NULL);
    le_utt_end_utterance(NULL);
    le_utt_destroy(NULL);
  }
  {
    le_stream_opts so;
    le_ctx_opts co;
    le_a2x_opts ao;
    le_ctx_info ci;
    le_a2x_info ai;
    le_stream_opts_default(&so);
    le_ctx_opts_default(&co);
    le_a2x_opts_default(&ao);
    ci.size = sizeof ci;
    ai.size = sizeof ai;
    if (le_stream_create_opts(NULL, &so) != NULL || le_create_opts(NULL, &co) != NULL ||
        le_a2x_create_opts(NULL, &ao) != NULL || le_get_info(NULL, &ci) != 0 || le_a2x_get_info(NULL, &ai) != 0)
      fails++;
    if (le_stream_run(NULL, NULL, 0, NULL, NULL) != -1 || le_stream_width(NULL) != 0 || le_stream_height(NULL) != 0)
      fails++;
    le_stream_destroy(NULL);
    (void)le_release_memory(); /* nothing kept yet or not: never fails */
    if (!le_version() || !*le_version()) fails++;
    le_log_set(NULL, NULL, LE_LOG_INFO);
  }
  {
    char err[64];
    if (le_tessera_slot_count() != 4 || strcmp(le_tessera_slot_key(3), "head_config") != 0 ||
        le_tessera_slot_key(4) != NULL || le_tessera_carriage_open(NULL) != NULL ||
        le_tessera_carriage_complete(NULL) != 0 || le_tessera_carriage_declared(NULL) != 0 ||
        strcmp(le_tessera_carriage_path(NULL, "bank_track"), "") != 0 ||
        le_tessera_carriage_missing_count(NULL) != 0 || le_tessera_carriage_missing(NULL, 0) != NULL)
      fails++;
    le_tessera_carriage_close(NULL);
    if (le_tessera_members_open(NULL, err, (int)sizeof err) != NULL ||
        strcmp(err, "le_tessera_members_open: null bundle_dir") != 0 || le_tessera_members_n_donors(NULL) != 0 ||
        le_tessera_members_cent(NULL) || le_tessera_members_aperture(NULL) || le_tessera_members_c_canon(NULL) ||
        le_tessera_members_stamp(NULL) || le_tessera_members_head_pt(NULL) || le_tessera_members_head_pt_len(NULL) ||
        *le_tessera_members_head_json(NULL) || *le_tessera_members_manifest_json(NULL) ||
        *le_tessera_members_bank_track_path(NULL) || *le_tessera_members_bank_container(NULL) ||
        *le_tessera_members_bank_codec(NULL) || *le_tessera_members_bank_pix_fmt(NULL) ||
        *le_tessera_members_bank_packing(NULL) || le_tessera_members_band_w(NULL) ||
        le_tessera_members_band_h(NULL) || le_tessera_members_band_bytes(NULL))
      fails++;
    if (le_tessera_members_reorder(NULL, NULL, NULL, err, (int)sizeof err) != 1 ||
        strcmp(err, "le_tessera_members_reorder: null argument") != 0)
      fails++;
    le_tessera_members_close(NULL);
    if (le_tessera_members_decode_band(NULL, NULL, 0, err, (int)sizeof err) != 1) fails++;
    if (le_utt_tessera_attach(NULL, NULL, 0, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, err, (int)sizeof err) != 1 ||
        strcmp(err, "le_utt_tessera_attach: null session") != 0 ||
        le_utt_tessera_stats(NULL, NULL, NULL, NULL, 0) != 0 || le_utt_tessera_synth_w(NULL, NULL, NULL, NULL) != 0 ||
        le_utt_tessera_geometry(NULL, err, (int)sizeof err) != 0 || err[0] != 0)
      fails++;
    if (le_tessera_run(NULL, 0, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, NULL, 0, NULL, NULL, err,
                       (int)sizeof err) != 1 ||
        strcmp(err, "le_tessera_run_shift: null argument or negative count") != 0 ||
        le_tessera_run_shift(NULL, 0, NULL, NULL, NULL, NULL, NULL, 0, NULL, NULL, NULL, NULL, 0, NULL, NULL, NULL,
                             0) != 1)
      fails++;
  }
  printf("%d passed, %d failed\n", 26 - fails, fails);
  return fails != 0;
}

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
        le_target_frame(ctx, 0))
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
  printf("%d passed, %d failed\n", 12 - fails, fails);
  return fails != 0;
}

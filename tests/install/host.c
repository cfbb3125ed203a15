/* A host built against the installed library: with a bundle named, it loads
 * it and renders and pastes one frame. */
#include <le/le.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  char out[8];
  int ok = le_host_kp_rows() == 21 && le_bundle_resolve_handle(NULL, out, sizeof out) == -1;
  if (ok && argc > 1) {
    le_ctx* ctx = le_create(argv[1], "b1", 1, NULL);
    size_t bytes = ctx ? (size_t)le_width(ctx) * (size_t)le_height(ctx) * 4 : 0;
    unsigned char* frame = bytes ? malloc(bytes) : NULL;
    ok = frame && le_render_drive_rgba(ctx, 0, frame, bytes) == 1;
    if (!ok) fprintf(stderr, "host: %s\n", le_last_error());
    free(frame);
    le_destroy(ctx);
  }
  puts(ok ? "host ok" : "host FAILED");
  return ok ? 0 : 1;
}

/* A host built against the installed library. */
#include <le/le.h>
#include <stdio.h>

int main(void) {
  char out[8];
  int ok = le_host_kp_rows() == 21 && le_bundle_resolve_handle(NULL, out, sizeof out) == -1;
  puts(ok ? "host ok" : "host FAILED");
  return ok ? 0 : 1;
}

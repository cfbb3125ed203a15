// le-avatar: the engine's command-line tool.
//
//   le-avatar check BUNDLE        resolve and validate a bundle, say what it holds
//   le-avatar pack DIR OUT.imx    pack a bundle directory into one container
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/bundle.h"
#include "core/manifest.h"
#include "le/le.h"
#include "tools/imx_pack.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage:\n"
               "  le-avatar check BUNDLE       resolve and validate a bundle (directory or .imx)\n"
               "  le-avatar pack DIR OUT.imx   pack a bundle directory into one IMX container\n");
  return 2;
}

// Members the engine looks up, under the name it asks for.
const char* const kMembers[] = {"P.f16",        "P_hevc.mov",   "fs_red.f16",          "pooled64.f16",
                                "M.f32",        "mask_512.u8",  "xs_target.bin",       "drive/xs.f32",
                                "drive/xd.f32", "drive/si.i32", "a2x_enc_stream.onnx", "a2x_dec.onnx",
                                "lip_template.v1.json"};

bool readable(const std::string& p) { return ::access(p.c_str(), R_OK) == 0; }

int check(const std::string& path) {
  char dir[4096];
  if (le_bundle_resolve_handle(path.c_str(), dir, sizeof dir) != 1) {
    std::printf("REFUSED %s\n  %s\n", path.c_str(), le_last_error());
    return 1;
  }
  le::Manifest m;
  try {
    m = le::loadManifest(dir);
  } catch (const std::exception& e) {
    std::printf("REFUSED %s\n  %s\n", path.c_str(), e.what());
    return 1;
  }
  std::printf("bundle     %s\n", path.c_str());
  if (path != dir) std::printf("unpacked   %s\n", dir);
  std::printf("agent      %s\n", m.agent.c_str());
  std::printf("frames     %d driver frames of %dx%d, driving track of %d rows\n", m.nt, m.W, m.H, m.frames);
  std::printf("crop       %d\n", m.crop);
  std::printf("paste      M authored on %dx%d%s\n", m.msrcW, m.msrcH,
              m.msrcW == m.W && m.msrcH == m.H ? "" : " (rescaled to the frame canvas)");
  std::printf("unsharp    amount %g, sigma %g, ksize %d\n", m.unsharp.amount, m.unsharp.sigma, m.unsharp.ksize);
  std::printf("members\n");
  for (const char* name : kMembers) {
    const std::string p = le::resolveMember(dir, name);
    const std::string shown = p.substr(std::strlen(dir) + 1);
    if (!readable(p)) std::printf("  %-22s absent\n", name);
    else if (shown == name) std::printf("  %-22s present\n", name);
    else std::printf("  %-22s present as %s\n", name, shown.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string cmd = argv[1];
  try {
    if (cmd == "check" && argc == 3) return check(argv[2]);
    if (cmd == "pack" && argc == 4) {
      const size_t n = le::tools::packImx(argv[2], argv[3]);
      std::printf("packed %zu members into %s\n", n, argv[3]);
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "le-avatar %s: %s\n", cmd.c_str(), e.what());
    return 1;
  }
  return usage();
}

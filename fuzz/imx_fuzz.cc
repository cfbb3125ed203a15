// IMX container reader: arbitrary bytes unpacked into a private directory.
// Besides crashes, it aborts when anything lands outside the unwrap tree.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <string>

#include "core/bundle.h"

namespace {

std::string workDir() {
  const char* shm = "/dev/shm";
  std::string tmpl = std::string(::access(shm, W_OK) == 0 ? shm : "/tmp") + "/le_fuzz_imx_XXXXXX";
  if (!::mkdtemp(tmpl.data())) std::abort();
  return tmpl;
}

const std::set<std::string>& allowed() {
  static const std::set<std::string> names = {"f.imx", "f.lebundle", "f.lebundle.imx_unwrapped",
                                              "f.lebundle.imx_unwrap.lock"};
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = [] {
    ::unsetenv("LE_IMX_UNWRAP_ROOT");
    return workDir();
  }();
  const std::string c = dir + "/f.imx";
  FILE* f = std::fopen(c.c_str(), "wb");
  if (!f) std::abort();
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);

  std::fflush(stderr);
  try {
    le::resolveBundlePath(c);
  } catch (const std::runtime_error&) {
  }

  DIR* d = ::opendir(dir.c_str());
  if (!d) std::abort();
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (!allowed().count(e->d_name)) {
      std::fprintf(stderr, "member escaped the unwrap tree: %s/%s\n", dir.c_str(), e->d_name);
      std::abort();
    }
  }
  ::closedir(d);
  return 0;
}

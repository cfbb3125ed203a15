// The container packer round-trips through the engine's own unpacker.
#include <gtest/gtest.h>

#include "core/bundle.h"
#include "tests/support/testutil.h"
#include "tools/imx_pack.h"

namespace {

using le::test::readFile;
using le::test::TempDir;
using le::test::writeFile;

TEST(PackImx, RoundTripsNestedMembersAndSkipsLinks) {
  TempDir tmp;
  writeFile(tmp / "b/manifest.json", "{\"format\": \"le-bundle-v0\"}");
  writeFile(tmp / "b/idle_loop/source_index.i32", std::string("\1\0\0\0\2\0\0\0", 8));
  writeFile(tmp / "b/empty", "");
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 >> 3);
  writeFile(tmp / "b/P.f16", big);
  ASSERT_EQ(::symlink("/etc/passwd", (tmp / "b/link").c_str()), 0);

  EXPECT_EQ(le::tools::packImx(tmp / "b", tmp / "out.imx"), 4u);
  EXPECT_TRUE(le::isImxV2File(tmp / "out.imx"));
  const std::string u = le::resolveBundlePath(tmp / "out.imx");
  EXPECT_EQ(readFile(u + "/P.f16"), big);
  EXPECT_EQ(readFile(u + "/idle_loop/source_index.i32"), readFile(tmp / "b/idle_loop/source_index.i32"));
  EXPECT_TRUE(le::test::exists(u + "/empty"));
  EXPECT_FALSE(le::test::exists(u + "/link"));
  EXPECT_THROW(le::tools::packImx(tmp / "missing", tmp / "x.imx"), std::runtime_error);
}

}  // namespace

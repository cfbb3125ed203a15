// The container packer round-trips through the engine's own unpacker.
#include <gtest/gtest.h>

#include "core/bundle.h"
#include "tests/support/testutil.h"
#include "tools/audio_in.h"
#include "tools/imx_pack.h"

#include <cmath>

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

// Speech at other rates reaches 16 kHz with its content: a tone keeps its
// frequency and level, one above the new Nyquist frequency is removed.
TEST(AudioIn, ResamplesTo16kHz) {
  for (int rate : {22050, 44100, 8000}) {
    std::vector<float> tone(rate), high(rate);
    for (int i = 0; i < rate; ++i) {
      tone[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 440.0 * i / rate));
      high[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 9500.0 * i / rate));
    }
    const std::vector<float> y = le::tools::resampleTo16k(tone, rate);
    ASSERT_EQ(y.size(), 16000u) << rate;
    double worst = 0, residue = 0;
    for (int k = 400; k < 15600; ++k) worst = std::max(worst, std::abs(y[k] - 0.5 * std::sin(2 * M_PI * 440.0 * k / 16000)));
    EXPECT_LT(worst, 0.01) << rate;
    if (rate > 19000) {
      const std::vector<float> z = le::tools::resampleTo16k(high, rate);
      for (int k = 400; k < 15600; ++k) residue = std::max(residue, double(std::abs(z[k])));
      EXPECT_LT(residue, 0.05) << rate;
    }
  }
  const std::vector<float> same(100, 0.25f);
  EXPECT_EQ(le::tools::resampleTo16k(same, 16000), same);
}

// The error convention every C entry point runs inside.
#include <gtest/gtest.h>

#include <stdexcept>
#include <cstring>

#include "core/api.h"

namespace le::api {
namespace {

int failing(Family f, int how) {
  return guard(f, "le_probe", -1, [&]() -> int {
    if (how == 0) throw std::runtime_error("it broke");
    if (how == 1) throw 42;  // not a std::exception
    if (how == 2) throw SilentFailure{};
    if (how == 3) throw RawFailure{"le_probe: raw text"};
    return 7;
  });
}

TEST(Guard, StoresFunctionAndTextAndClearsOnSuccess) {
  EXPECT_EQ(failing(Family::Le, 0), -1);
  EXPECT_EQ(lastError(Family::Le), "le_probe: it broke");
  EXPECT_EQ(failing(Family::Le, 4), 7);
  EXPECT_EQ(lastError(Family::Le), "");
  EXPECT_EQ(failing(Family::Utt, 1), -1);
  EXPECT_EQ(lastError(Family::Utt), "le_probe: unknown failure");
  EXPECT_EQ(failing(Family::Utt, 2), -1);
  EXPECT_EQ(lastError(Family::Utt), "");
  EXPECT_EQ(failing(Family::Utt, 3), -1);
  EXPECT_EQ(lastError(Family::Utt), "le_probe: raw text");
}

TEST(FillErr, CopiesTerminatesAndZeroFills) {
  char buf[8];
  std::memset(buf, 'z', sizeof buf);
  fill_err(buf, 1, "hello");
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], 'z');
  std::memset(buf, 'z', sizeof buf);
  fill_err(buf, 0, "hello");
  fill_err(buf, -3, "hello");
  fill_err(nullptr, 8, "hello");
  EXPECT_EQ(buf[0], 'z');
  fill_err(buf, 8, "hi");
  EXPECT_EQ(std::string(buf), "hi");
  for (int i = 2; i < 8; ++i) EXPECT_EQ(buf[i], 0) << i;
  fill_err(buf, 8, "a longer text");
  EXPECT_EQ(std::string(buf), "a longe");
}

}  // namespace
}  // namespace le::api

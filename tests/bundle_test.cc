// Bundle resolution, IMX unwrapping and member names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "core/bundle.h"
#include "tests/support/testutil.h"

namespace le {
namespace {

using test::buildImx;
using test::exists;
using test::ImxMember;
using test::readFile;
using test::TempDir;
using test::writeFile;

const std::vector<ImxMember> kMembers = {
    {"manifest.json", "{\"format\": \"le-bundle-v0\"}"},
    {"P.f16", std::string(1000, '\x3c')},
    {"drive/xs.f32", std::string("\0\1\2\3", 4)},
    {"idle_loop/source_index.i32", "abcd"},
};

std::string throwsText(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no exception)";
}

struct stat statOf(const std::string& p) {
  struct stat st {};
  ::lstat(p.c_str(), &st);
  return st;
}

class Unwrap : public ::testing::Test {
 protected:
  void SetUp() override {
    c = tmp / "a/avatar.imx";
    writeFile(c, buildImx(kMembers));
  }
  TempDir tmp;
  test::ScopedEnv noRoot{"LE_IMX_UNWRAP_ROOT", nullptr};
  std::string c;
};

TEST_F(Unwrap, UnpacksBesideTheContainerThenReusesWithoutWriting) {
  ::testing::internal::CaptureStderr();
  const std::string u = resolveBundlePath(c);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(u, tmp / "a/avatar.lebundle");
  EXPECT_EQ(log, "[le] unwrapped " + c + " -> " + u + "\n");
  for (const auto& m : kMembers) EXPECT_EQ(readFile(u + "/" + m.name), m.payload) << m.name;
  EXPECT_FALSE(exists(u + "/P.f16.part"));

  const struct stat cs = statOf(c);
  const std::string stamp = "imx-unwrapped.v2 avatar.imx " + std::to_string(cs.st_size) + " " +
                            std::to_string(cs.st_mtim.tv_sec * 1000000000LL + cs.st_mtim.tv_nsec) + " " +
                            std::to_string(cs.st_ino);
  EXPECT_EQ(readFile(u + ".imx_unwrapped"), stamp);

  const struct stat before = statOf(u + "/P.f16"), markerBefore = statOf(u + ".imx_unwrapped");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(resolveBundlePath(c), u);
  EXPECT_EQ(resolveBundlePath(tmp / "a/avatar"), u);  // the path without ".imx"
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  const struct stat after = statOf(u + "/P.f16"), markerAfter = statOf(u + ".imx_unwrapped");
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
  EXPECT_EQ(markerBefore.st_mtim.tv_nsec, markerAfter.st_mtim.tv_nsec);
}

TEST_F(Unwrap, ReuseToleratesBlanksAroundTheStampButNothingElse) {
  const std::string u = resolveBundlePath(c);
  const std::string stamp = readFile(u + ".imx_unwrapped");
  writeFile(u + ".imx_unwrapped", " \t" + stamp + "\r\n");
  writeFile(u + "/planted", "x");
  resolveBundlePath(c);
  EXPECT_TRUE(exists(u + "/planted"));
  writeFile(u + ".imx_unwrapped", stamp + "x");
  resolveBundlePath(c);
  EXPECT_FALSE(exists(u + "/planted"));
  EXPECT_EQ(readFile(u + ".imx_unwrapped"), stamp);
}

TEST_F(Unwrap, TouchingTheContainerRebuildsTheTree) {
  const std::string u = resolveBundlePath(c);
  writeFile(u + "/planted", "x");
  struct timespec times[2] = {{0, UTIME_OMIT}, {1234567890, 42}};
  ASSERT_EQ(::utimensat(AT_FDCWD, c.c_str(), times, 0), 0);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(resolveBundlePath(c), u);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("[le] unwrapped"), std::string::npos);
  EXPECT_FALSE(exists(u + "/planted"));
  EXPECT_NE(readFile(u + ".imx_unwrapped").find(" 1234567890000000042 "), std::string::npos);
}

TEST_F(Unwrap, RebuildDoesNotFollowLinksOutOfTheTree) {
  const std::string u = resolveBundlePath(c);
  writeFile(tmp / "outside/keep", "precious");
  ASSERT_EQ(::symlink((tmp / "outside").c_str(), (u + "/link").c_str()), 0);
  writeFile(u + ".imx_unwrapped", "stale");
  resolveBundlePath(c);
  EXPECT_FALSE(exists(u + "/link"));
  EXPECT_EQ(readFile(tmp / "outside/keep"), "precious");
}

TEST_F(Unwrap, HonoursTheUnwrapRootAndCreatesIt) {
  const std::string u = resolveBundlePath(c, tmp / "cache/deep//");
  EXPECT_EQ(u, tmp / "cache/deep/avatar.lebundle");
  EXPECT_TRUE(exists(u + ".imx_unwrapped"));
  EXPECT_EQ(readFile(u + "/P.f16"), kMembers[1].payload);
}

TEST_F(Unwrap, StemRules) {
  EXPECT_EQ(bundle::unwrapDirFor("x/avatar.imx"), "x/avatar.lebundle");
  EXPECT_EQ(bundle::unwrapDirFor("avatar.lebundle"), "./avatar.lebundle");
  EXPECT_EQ(bundle::unwrapDirFor("/avatar"), "/avatar.lebundle");
  EXPECT_EQ(bundle::unwrapDirFor("x/y.imx.imx"), "x/y.imx.lebundle");
}

TEST(ResolveBundlePath, PlainPaths) {
  TempDir tmp;
  EXPECT_EQ(resolveBundlePath(""), "");
  writeFile(tmp / "b/manifest.json", "{}");
  EXPECT_EQ(resolveBundlePath(tmp / "b"), tmp / "b");
  EXPECT_EQ(resolveBundlePath(tmp / "b/"), tmp / "b/");
  EXPECT_EQ(resolveBundlePath(tmp / "missing"), tmp / "missing");
  writeFile(tmp / "notimx.imx", "IMX\0\1\0\0\0");  // version 1 is not a container we resolve
  EXPECT_EQ(resolveBundlePath(tmp / "notimx.imx"), tmp / "notimx.imx");
  EXPECT_FALSE(isImxV2File(tmp / "b"));
  EXPECT_FALSE(isImxV2File(""));
}

TEST(ResolveBundlePath, UnwrapDirectoryNamedDirectlyIsRefreshedFromItsContainer) {
  TempDir tmp;
  writeFile(tmp / "av.imx", buildImx(kMembers));
  const std::string u = resolveBundlePath(tmp / "av.imx");
  // The directory has a marker sibling, so its container ("av.lebundle.imx")
  // is looked for; there is none, and the directory stands.
  EXPECT_EQ(resolveBundlePath(u), u);
}

// Runs an unwrap that must fail; returns the message and checks that no
// marker and no member of the container is left behind.
std::string failedUnwrap(const std::string& bytes) {
  TempDir tmp;
  const std::string c = tmp / "bad.imx";
  writeFile(c, bytes);
  const std::string msg = throwsText([&] { bundle::unwrapOnce(c); });
  const std::string u = tmp / "bad.lebundle";
  EXPECT_FALSE(exists(u + ".imx_unwrapped")) << msg;
  EXPECT_FALSE(exists(u + "/ok")) << msg;
  EXPECT_FALSE(exists(u + "/ok.part")) << msg;
  EXPECT_FALSE(exists(tmp / "x")) << msg;
  EXPECT_FALSE(exists("/x_le_escape")) << msg;
  const std::string prefix = c + ": ";
  return msg.compare(0, prefix.size(), prefix) == 0 ? msg.substr(prefix.size()) : "UNPREFIXED " + msg;
}

TEST(UnwrapRefusals, HeaderAndTableOfContents) {
  EXPECT_EQ(failedUnwrap(std::string("IMX\0\2\0", 6)), "not an IMX\\0 container");
  EXPECT_EQ(failedUnwrap(std::string("IMY\0\2\0\0\0", 8)), "not an IMX\\0 container");
  EXPECT_EQ(failedUnwrap(buildImx({{"ok", "1"}}, 1)), "unsupported IMX container version 1");
  EXPECT_EQ(failedUnwrap(buildImx({{"ok", "1"}}, 3)), "unsupported IMX container version 3");
  std::string one = buildImx({{"ok", "1"}});
  one[6] = 2;  // claims two members, holds one entry (its payload byte is read as a partial length)
  EXPECT_EQ(failedUnwrap(one.substr(0, one.size() - 1)), "truncated TOC at member 1");
  EXPECT_EQ(failedUnwrap(one), "truncated TOC at member 1");
  EXPECT_EQ(failedUnwrap(test::rawImx({}, 1, std::string("\5\0ab", 4))), "truncated member name at 0");
  EXPECT_EQ(failedUnwrap(test::rawImx({}, 1, std::string("\2\0ok\0\0\0\0\0\0\0\0\0", 13))),
            "truncated TOC offsets at member 0");
}

TEST(UnwrapRefusals, UnsafeNamesWriteNothing) {
  for (const std::string& name : {std::string("../x"), std::string("/x_le_escape"), std::string("a/../../x"),
                                 std::string("a\0b", 3), std::string("\\x"), std::string(""),
                                 std::string("a/..")}) {
    const std::string msg = failedUnwrap(buildImx({{"ok", "payload"}, {name, "evil"}}));
    const std::string shown = name.find('\0') == std::string::npos ? name : "a\\0b";
    EXPECT_EQ(msg, "refusing unsafe member name '" + shown + "'");
  }
}

TEST(UnwrapRefusals, PayloadsPastTheEndWriteNothing) {
  const std::string tail = "0123456789";
  const uint64_t base = 8 + 2 + 2 + 16;  // one entry named "ok"
  EXPECT_EQ(failedUnwrap(test::rawImx({{"ok", base, 11}}, 1, tail)), "truncated payload for member ok");
  EXPECT_EQ(failedUnwrap(test::rawImx({{"ok", base + 11, 0}}, 1, tail)), "truncated payload for member ok");
  EXPECT_EQ(failedUnwrap(test::rawImx({{"ok", 1ull << 62, 1}}, 1, tail)), "truncated payload for member ok");
  // offset + size wraps around 2^64
  EXPECT_EQ(failedUnwrap(test::rawImx({{"ok", 2, ~0ull}}, 1, tail)), "truncated payload for member ok");
  // a bad second entry stops the first from being written too
  EXPECT_EQ(failedUnwrap(test::rawImx({{"ok", base + 2 + 2 + 16, 1}, {"zz", 0, 1ull << 40}}, 2, tail)),
            "truncated payload for member zz");
}

TEST(UnwrapRefusals, FailureLeavesNoMarkerAndTheNextAttemptStartsOver) {
  TempDir tmp;
  const std::string c = tmp / "av.imx";
  writeFile(c, buildImx({{"ok", "1"}, {"../x", "2"}}));
  EXPECT_THROW(resolveBundlePath(c), std::runtime_error);
  EXPECT_FALSE(exists(tmp / "av.lebundle.imx_unwrapped"));
  writeFile(c, buildImx({{"ok", "good"}}));
  EXPECT_EQ(readFile(resolveBundlePath(c) + "/ok"), "good");
}

TEST(UnwrapRefusals, ContainerInsideItsOwnUnwrapDirectoryIsNotDeleted) {
  TempDir tmp;
  const std::string c = tmp / "avatar.lebundle";  // stem stays "avatar.lebundle"
  const std::string bytes = buildImx(kMembers);
  writeFile(c, bytes);
  const std::string msg = throwsText([&] { resolveBundlePath(c); });
  EXPECT_NE(msg.find("refusing to unwrap into"), std::string::npos) << msg;
  EXPECT_EQ(readFile(c), bytes);
}

TEST(UnwrapRefusals, FilesystemFailuresNameThePath) {
  TempDir tmp;
  EXPECT_EQ(throwsText([&] { bundle::unwrapOnce(tmp / "none.imx"); }), "cannot stat container " + (tmp / "none.imx"));

  const std::string c = tmp / "f.imx";
  const std::string u = tmp / "f.lebundle";
  writeFile(c, buildImx({{"a", "1"}, {"a/b", "2"}}));
  EXPECT_EQ(throwsText([&] { bundle::unwrapOnce(c); }), "cannot create " + u + "/a");
  writeFile(c, buildImx({{"d/x", "1"}, {"d", "2"}}));
  EXPECT_EQ(throwsText([&] { bundle::unwrapOnce(c); }), "cannot place member " + u + "/d");
  EXPECT_FALSE(exists(u + "/d.part"));

  // A directory where the marker goes cannot be replaced by the marker.
  writeFile(c, buildImx({{"ok", "1"}}));
  std::filesystem::create_directories(u + ".imx_unwrapped/sub");
  EXPECT_EQ(throwsText([&] { bundle::unwrapOnce(c); }), "cannot write unwrap marker " + u + ".imx_unwrapped");

  writeFile(tmp / "plainfile", "x");
  EXPECT_EQ(throwsText([&] { bundle::unwrapOnce(c, tmp / "plainfile"); }),
            "cannot create unwrap dir " + (tmp / "plainfile/f.lebundle"));
}

TEST(UnwrapMembers, SyntheticManifestIsSkipped) {
  TempDir tmp;
  const std::string big(4194304 - 30, ' ');
  writeFile(tmp / "s.imx", buildImx({{"manifest.json", "{\"_imx_synthetic_manifest\": 1}"}, {"ok", "1"}}));
  const std::string u = resolveBundlePath(tmp / "s.imx");
  EXPECT_FALSE(exists(u + "/manifest.json"));
  EXPECT_TRUE(exists(u + "/ok"));
  // Past 4 MiB the payload is not inspected and is written as it is.
  const std::string large = "{\"_imx_synthetic_manifest\": 1}" + std::string(4194304 - 29, ' ');
  writeFile(tmp / "l.imx", buildImx({{"manifest.json", large}}));
  EXPECT_EQ(readFile(resolveBundlePath(tmp / "l.imx") + "/manifest.json"), large);
  // Only the root manifest is special.
  writeFile(tmp / "n.imx", buildImx({{"sub/manifest.json", "_imx_synthetic_manifest"}}));
  EXPECT_TRUE(exists(resolveBundlePath(tmp / "n.imx") + "/sub/manifest.json"));
}

// Several resolvers at once all see the complete tree, and it is unpacked once.
TEST(UnwrapConcurrency, ThreadsUnwrapOnce) {
  TempDir tmp;
  const std::string c = tmp / "t.imx";
  writeFile(c, buildImx({{"manifest.json", "{}"}, {"big", std::string(24 << 20, 'b')}}));
  ::testing::internal::CaptureStderr();
  std::atomic<int> complete{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([&] {
      const std::string u = resolveBundlePath(c);
      struct stat st {};
      if (::stat((u + "/big").c_str(), &st) == 0 && st.st_size == (24 << 20)) ++complete;
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(complete.load(), 4);
  EXPECT_EQ(test::countOf(::testing::internal::GetCapturedStderr(), "[le] unwrapped"), 1u);
}

TEST(UnwrapConcurrency, ProcessesUnwrapOnce) {
  TempDir tmp;
  const std::string c = tmp / "p.imx";
  const std::string big(48 << 20, 'p');
  writeFile(c, buildImx({{"manifest.json", "{}"}, {"big", big}, {"tail", "end"}}));
  const std::string logPath = tmp / "log";
  const int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(logFd, 0);
  std::vector<pid_t> kids;
  for (int i = 0; i < 3; ++i) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::dup2(logFd, 2);
      int rc = 1;
      try {
        const std::string u = resolveBundlePath(c);
        struct stat st {};
        rc = (::stat((u + "/big").c_str(), &st) == 0 && st.st_size == static_cast<off_t>(big.size()) &&
              readFile(u + "/tail") == "end")
                 ? 0
                 : 2;
      } catch (...) {
        rc = 3;
      }
      ::_exit(rc);
    }
    kids.push_back(pid);
  }
  ::close(logFd);
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  EXPECT_EQ(test::countOf(readFile(logPath), "[le] unwrapped"), 1u);
}

TEST(ResolveMember, OlderAndCurrentNames) {
  TempDir tmp;
  const std::string d = tmp.path();
  EXPECT_EQ(resolveMember(d, "P.f16"), d + "/P.f16");
  writeFile(tmp / "source_frames.f16", "x");
  EXPECT_EQ(resolveMember(d, "P.f16"), d + "/source_frames.f16");
  writeFile(tmp / "P.f16", "x");
  EXPECT_EQ(resolveMember(d, "P.f16"), d + "/P.f16");  // the name asked for wins
  // Current names are never translated back.
  EXPECT_EQ(resolveMember(d, "paste_transform.f32"), d + "/paste_transform.f32");
  writeFile(tmp / "render_model.batch4.fp16.onnx", "x");
  writeFile(tmp / "render_model.batch8.onnx", "x");
  writeFile(tmp / "idle_loop/source_index.i32", "x");
  EXPECT_EQ(resolveMember(d, "model_b4_fp16.onnx"), d + "/render_model.batch4.fp16.onnx");
  EXPECT_EQ(resolveMember(d, "model_b8.onnx"), d + "/render_model.batch8.onnx");
  EXPECT_EQ(resolveMember(d, "drive/si.i32"), d + "/idle_loop/source_index.i32");
  EXPECT_EQ(resolveMember(d, "drive/xd.f32"), d + "/drive/xd.f32");
}

}  // namespace
}  // namespace le

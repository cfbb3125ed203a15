// Helpers for tests: temporary directories, files and IMX containers.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace le::test {

// A fresh directory under $TMPDIR, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);
bool exists(const std::string& path);

struct ImxMember {
  std::string name;
  std::string payload;
};

// Builds a version-`version` IMX container with the payloads placed after the
// table in member order.
std::string buildImx(const std::vector<ImxMember>& members, uint16_t version = 2);

// Table-of-contents entry as raw fields, for hostile containers.
struct RawEntry {
  std::string name;
  uint64_t offset;
  uint64_t size;
};
std::string rawImx(const std::vector<RawEntry>& entries, uint16_t count, const std::string& tail = {});

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();

 private:
  std::string name_;
  bool had_;
  std::string old_;
};

// The text of the exception `f` throws, or "(no error)".
template <typename F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// Counts occurrences of `needle` in `hay`.
size_t countOf(const std::string& hay, const std::string& needle);

}  // namespace le::test

namespace le::test {
// mkdir -p.
void makeDirsForTest(const std::string& path);
}  // namespace le::test

#include "tests/support/testutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>


namespace le::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/le_test_XXXXXX";
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& bytes) {
  if (const fs::path dir = fs::path(path).parent_path(); !dir.empty()) fs::create_directories(dir);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<float> floatsOf(const std::string& path) {
  const std::string bytes = readFile(path);
  std::vector<float> v(bytes.size() / sizeof(float));
  std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

void replaceInFile(const std::string& path, const std::string& from, const std::string& to) {
  std::string text = readFile(path);
  const size_t at = text.find(from);
  if (at == std::string::npos) throw std::logic_error(path + " lacks " + from);
  writeFile(path, text.replace(at, from.size(), to));
}

std::string copyBundle(const TempDir& tmp, const std::string& preset) {
  const std::string dst = tmp / preset;
  fs::copy(std::string(LE_FIXTURES) + "/" + preset, dst, fs::copy_options::recursive);
  return dst;
}

namespace {
void put16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8));
}
void put64(std::string& s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
std::string header(uint16_t version, uint16_t count) {
  std::string s("IMX\0", 4);
  put16(s, version);
  put16(s, count);
  return s;
}
}  // namespace

std::string buildImx(const std::vector<ImxMember>& members, uint16_t version) {
  size_t tocSize = 8;
  for (const auto& m : members) tocSize += 2 + m.name.size() + 16;
  std::string s = header(version, static_cast<uint16_t>(members.size()));
  uint64_t off = tocSize;
  for (const auto& m : members) {
    put16(s, static_cast<uint16_t>(m.name.size()));
    s += m.name;
    put64(s, off);
    put64(s, m.payload.size());
    off += m.payload.size();
  }
  for (const auto& m : members) s += m.payload;
  return s;
}

std::string rawImx(const std::vector<RawEntry>& entries, uint16_t count, const std::string& tail) {
  std::string s = header(2, count);
  for (const auto& e : entries) {
    put16(s, static_cast<uint16_t>(e.name.size()));
    s += e.name;
    put64(s, e.offset);
    put64(s, e.size);
  }
  return s + tail;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value) ::setenv(name, value, 1);
  else ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_) ::setenv(name_.c_str(), old_.c_str(), 1);
  else ::unsetenv(name_.c_str());
}

size_t countOf(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size())) ++n;
  return n;
}

std::string failingBundle(const std::string& bundle, const std::string& dir, const std::string& model,
                          const std::vector<int>& rows, const std::string& variant) {
  fs::copy(bundle, dir, fs::copy_options::recursive);
  fs::copy_file(dir + "/" + variant, dir + "/" + model, fs::copy_options::overwrite_existing);
  std::string xs = readFile(dir + "/xs_target.bin");
  const float marker = 5.0f;
  for (int row : rows) std::memcpy(&xs[(static_cast<size_t>(row) * 63 + 2) * 4], &marker, 4);
  writeFile(dir + "/xs_target.bin", xs);
  return dir;
}

namespace {
// Runs `f` and says whether it returned within `seconds`. If it did not, the
// FIFOs are opened for writing until it returns (that releases a reader
// blocked in open), so a hang fails the test instead of stopping it.
bool returnsPromptly(const std::function<void()>& f, const std::vector<std::string>& fifos, double seconds = 10) {
  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  std::thread t([&] {
    f();
    std::lock_guard<std::mutex> lk(mu);
    done = true;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> lk(mu);
  const bool prompt = cv.wait_for(lk, std::chrono::duration<double>(seconds), [&] { return done; });
  while (!done) {
    lk.unlock();
    for (const std::string& p : fifos) {
      const int fd = ::open(p.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
    lk.lock();
    cv.wait_for(lk, std::chrono::milliseconds(100), [&] { return done; });
  }
  lk.unlock();
  t.join();
  return prompt;
}
}  // namespace

std::string failureOverFifo(const std::string& path, const std::function<std::string()>& create) {
  ::unlink(path.c_str());
  if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + path);
  std::string why;
  const bool prompt = returnsPromptly([&] { why = create(); }, {path});
  return prompt ? why : "(hung on the FIFO) " + why;
}


std::string runCommand(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (status) *status = -1;
  if (!p) return out;
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = ::pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

}  // namespace le::test

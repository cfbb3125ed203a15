#include "tools/imx_pack.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace le::tools {
namespace {

struct Member {
  std::string name;
  uint64_t size;
};

[[noreturn]] void fail(const std::string& t) { throw std::runtime_error(t); }

void walk(const std::string& root, const std::string& rel, std::vector<Member>& out) {
  const std::string here = rel.empty() ? root : root + "/" + rel;
  DIR* d = ::opendir(here.c_str());
  if (!d) fail("cannot read directory " + here);
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.emplace_back(e->d_name);
  }
  ::closedir(d);
  for (const std::string& n : names) {
    const std::string r = rel.empty() ? n : rel + "/" + n;
    struct stat st;
    if (::lstat((root + "/" + r).c_str(), &st) != 0) fail("cannot stat " + root + "/" + r);
    if (S_ISDIR(st.st_mode)) walk(root, r, out);
    else if (S_ISREG(st.st_mode)) out.push_back({r, static_cast<uint64_t>(st.st_size)});
  }
}

void put(FILE* f, uint64_t v, int bytes) {
  unsigned char b[8];
  for (int i = 0; i < bytes; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
  if (std::fwrite(b, 1, bytes, f) != static_cast<size_t>(bytes)) fail("short write");
}

}  // namespace

size_t packImx(const std::string& dir, const std::string& out) {
  std::vector<Member> members;
  walk(dir, "", members);
  std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) { return a.name < b.name; });
  if (members.size() > 65535) fail("too many members for one container: " + std::to_string(members.size()));
  uint64_t offset = 8;
  for (const Member& m : members) {
    if (m.name.size() > 65535) fail("member name too long: " + m.name);
    offset += 2 + m.name.size() + 16;
  }
  const std::string part = out + ".part";
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(part.c_str(), "wb"), std::fclose);
  if (!f) fail("cannot write " + part);
  std::fwrite("IMX\0", 1, 4, f.get());
  put(f.get(), 2, 2);
  put(f.get(), members.size(), 2);
  for (const Member& m : members) {
    put(f.get(), m.name.size(), 2);
    std::fwrite(m.name.data(), 1, m.name.size(), f.get());
    put(f.get(), offset, 8);
    put(f.get(), m.size, 8);
    offset += m.size;
  }
  std::vector<char> buf(1 << 20);
  for (const Member& m : members) {
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen((dir + "/" + m.name).c_str(), "rb"), std::fclose);
    if (!in) fail("cannot open " + dir + "/" + m.name);
    uint64_t left = m.size;
    while (left > 0) {
      const size_t got = std::fread(buf.data(), 1, std::min<uint64_t>(left, buf.size()), in.get());
      if (got == 0) fail(dir + "/" + m.name + " changed while packing");
      if (std::fwrite(buf.data(), 1, got, f.get()) != got) fail("short write on " + part);
      left -= got;
    }
  }
  if (std::fflush(f.get()) != 0 || std::fclose(f.release()) != 0) fail("short write on " + part);
  if (std::rename(part.c_str(), out.c_str()) != 0) fail("cannot place " + out);
  return members.size();
}

}  // namespace le::tools

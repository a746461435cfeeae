// SplitPath, and the PathParts the launcher detection compares, on any path and any output
// sizes, checked against a plain model; every output is exact-size with canaries behind it.
//
// Input: four output sizes (one byte each; 0xFF: no buffer), then the path.
#include "fuzz/fuzz_support.h"
#include "runtime/platform/path_parts.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

bool Separator(char c) {
  return c == '\\' || c == '/';
}

// Drive, directory, name and extension.
std::vector<std::string> Model(const std::string& path) {
  size_t drive = 0;
  const char first = path.empty() ? 0 : path[0];
  const char upper = first >= 'a' && first <= 'z' ? static_cast<char>(first - 32) : first;
  if (path.size() >= 2 && upper >= 'A' && upper <= 'Z' && path[1] == ':') {
    drive = 2;
  } else if (path.size() >= 2 && Separator(path[0]) && Separator(path[1])) {
    drive = 2;
    while (drive < path.size() && !Separator(path[drive])) ++drive; // server
    if (drive < path.size()) {
      ++drive;
      while (drive < path.size() && !Separator(path[drive])) ++drive; // share
    }
  }
  size_t dirEnd = drive;
  for (size_t i = drive; i < path.size(); ++i)
    if (Separator(path[i])) dirEnd = i + 1;
  size_t ext = path.size();
  for (size_t i = dirEnd; i < path.size(); ++i)
    if (path[i] == '.') ext = i;
  return {path.substr(0, drive), path.substr(drive, dirEnd - drive),
          path.substr(dirEnd, ext - dirEnd), path.substr(ext)};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Prepare();
  if (size < 4) return 0;
  std::string path(reinterpret_cast<const char*>(data + 4), size - 4);
  path = path.c_str();
  const std::vector<char> exact(path.c_str(), path.c_str() + path.size() + 1);
  const std::vector<std::string> parts = Model(path);

  std::vector<char> out[4];
  char* buffers[4];
  uint32_t sizes[4];
  for (int i = 0; i < 4; ++i) {
    sizes[i] = data[i] == 0xFF ? 0 : data[i];
    out[i].assign(sizes[i] + fuzz::kGuard, fuzz::kCanary);
    buffers[i] = data[i] == 0xFF ? nullptr : out[i].data();
  }
  if (!SplitPath(exact.data(), buffers[0], sizes[0], buffers[1], sizes[1], buffers[2], sizes[2],
                 buffers[3], sizes[3]))
    fuzz::Fail();
  for (int i = 0; i < 4; ++i) {
    for (size_t k = sizes[i]; k < out[i].size(); ++k)
      if (out[i][k] != fuzz::kCanary) fuzz::Fail();
    if (buffers[i] == nullptr || sizes[i] == 0) continue;
    if (out[i].data() != parts[i].substr(0, sizes[i] - 1)) fuzz::Fail();
  }
  if (SplitPath(nullptr, buffers[0], sizes[0], buffers[1], sizes[1], buffers[2], sizes[2],
                buffers[3], sizes[3]))
    fuzz::Fail();
  for (int i = 0; i < 4; ++i)
    if (buffers[i] != nullptr && sizes[i] > 0 && out[i][0] != 0) fuzz::Fail();

  PathParts whole(exact.data());
  if (whole.Drive() != parts[0] || whole.Dir() != parts[1] || whole.Name() != parts[2] ||
      whole.Ext() != parts[3] || whole.NameAndExt() != parts[2] + parts[3])
    fuzz::Fail();
  return 0;
}

// The link stream of OpenExistingFile: any stream content, a name of any length and any target
// buffer, checked against a plain model of "the first line names the file". The open of the
// named file is made to fail, so no file the input names is ever opened.
//
// Input: the target buffer size (one byte; 0xFF: none), the name's length in "./" steps, a
// flags byte (bit 0: no stream, bit 1: kModeNoLink, bit 2: a platform other than NT), then the
// stream's content.
#include "fuzz/fuzz_support.h"
#include "runtime/platform/file_plain.h"
#include "runtime/startup/runtime_state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void WriteFile(const std::string& path, const std::string& content) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) fuzz::Fail();
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

char gFolder[4096]; // plain storage: still there when the exit handler runs

void RemoveFolder() {
  std::remove((std::string(gFolder) + "/f:SymLink").c_str());
  std::remove((std::string(gFolder) + "/f").c_str());
  rmdir(gFolder);
}

const std::string& Folder() {
  static const std::string folder = [] {
    // Memory-backed when the machine has it: on a disk every input costs milliseconds.
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && *tmp != 0 ? tmp : "/tmp";
    if ((tmp == nullptr || *tmp == 0) && access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    std::string pattern = base + "/calvisto-link-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fuzz::Fail();
    if (pattern.size() >= sizeof gFolder) fuzz::Fail();
    std::strcpy(gFolder, pattern.c_str());
    std::atexit(RemoveFolder);
    WriteFile(pattern + "/f", "the file itself");
    return pattern;
  }();
  return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Prepare();
  if (size < 3) return 0;
  const bool hasTarget = data[0] != 0xFF;
  const uint32_t targetLength = hasTarget ? data[0] : 0;
  std::string name = Folder();
  for (int i = 0; i < data[1]; ++i) name += "/.";
  name += "/f";
  const bool hasStream = (data[2] & 1) == 0;
  const uint16_t mode = (data[2] & 2) ? kModeNoLink : kModeRead;
  OsVersion.Platform = (data[2] & 4) ? kPlatformWindows9x : kPlatformNT;
  const std::string content(reinterpret_cast<const char*>(data + 3), size - 3);
  const std::string stream = Folder() + "/f:SymLink";
  if (hasStream)
    WriteFile(stream, content);
  else
    std::remove(stream.c_str());

  // The model: the first line of what fits the link buffer; a first line that does not fit it,
  // or does not fit the target, fails the open.
  const bool linked = mode != kModeNoLink && OsVersion.Platform == kPlatformNT;
  const size_t bufferSize = std::max<size_t>(512, name.size() + 9);
  std::string line;
  bool whole = true;
  if (linked && hasStream) {
    const size_t got = std::min(content.size(), bufferSize - 1);
    line = content.substr(0, got).c_str();
    line = line.substr(0, line.find('\r'));
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.size() == got && got == bufferSize - 1)
      whole = content.size() == got || content[got] == '\r' || content[got] == '\n';
  }
  const bool fits = !hasTarget || targetLength == 0 || line.size() < targetLength;

  std::vector<char> target(targetLength + fuzz::kGuard, fuzz::kCanary);
  void* handle = reinterpret_cast<void*>(1);
  bool redirected = true;
  winposix::FailNth(winposix::FailPoint::CreateFileA, linked ? 2 : 1); // the file itself
  const int32_t result = OpenExistingFile(
      name.c_str(), mode, &handle, hasTarget ? target.data() : nullptr, targetLength, &redirected);
  winposix::ClearFailures();

  if (handle != nullptr || result == kFileOk) fuzz::Fail();
  for (size_t i = targetLength; i < target.size(); ++i)
    if (target[i] != fuzz::kCanary) fuzz::Fail();
  if (!whole || !fits) {
    if (result != kFileNotFound || redirected || target[0] != fuzz::kCanary) fuzz::Fail();
    return 0;
  }
  if (redirected != !line.empty()) fuzz::Fail();
  if (hasTarget && targetLength > 0) {
    if (line.empty() ? target[0] != fuzz::kCanary : target.data() != line) fuzz::Fail();
  }
  return 0;
}

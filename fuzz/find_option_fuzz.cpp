// FindOption on any option list and any name, checked against a plain model of the lookup.
//
// Input: a flags byte, then lines: the name first, then the option list entries.
#include "fuzz/fuzz_support.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/scramble.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The entry that a lookup of the plain name must find, or -1; *value its value.
int Expected(const std::string& plain, const std::vector<std::string>& entries, size_t* value) {
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string entry = entries[i].c_str(); // the text ends at its first zero byte
    if (entry.size() < 2 || entry.compare(2, plain.size(), plain) != 0) continue;
    const size_t after = 2 + plain.size();
    if (entry.size() == after) {
      *value = after;
      return static_cast<int>(i);
    }
    if (entry.size() > after && entry[after] == ':') {
      *value = after + 1;
      return static_cast<int>(i);
    }
  }
  return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Prepare();
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  std::vector<std::string> lines(1);
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == '\n')
      lines.emplace_back();
    else
      lines.back() += static_cast<char>(data[i]);
  }
  const std::string name = lines[0];
  const std::vector<std::string> entries(lines.begin() + 1,
                                         lines.begin() + std::min<size_t>(lines.size(), 257));

  RuntimeStateRecord& s = RuntimeState;
  s.OptionTrace = (flags & 0x80) != 0;
  s.OptionCount = static_cast<uint32_t>(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    // An exact-size block, so a read past the entry's end is seen; an entry "\x01" stays null.
    if (entries[i] == "\x01") {
      s.OptionList[i] = nullptr;
      continue;
    }
    s.OptionList[i] = static_cast<char*>(AllocMem(static_cast<uint32_t>(entries[i].size() + 1)));
    std::memcpy(s.OptionList[i], entries[i].c_str(), entries[i].size() + 1);
  }
  std::vector<char> exactName(name.c_str(), name.c_str() + std::strlen(name.c_str()) + 1);

  const char* value = reinterpret_cast<const char*>(1);
  const bool found = FindOption(exactName.data(), (flags & 0x40) ? nullptr : &value, flags & 3);

  std::string plain = exactName.data();
  if (plain.size() > 255) plain.resize(255);
  if (flags & kFindUnscramble) {
    UnscrambleName(plain.data());
    plain = plain.c_str(); // unscrambling can make a zero byte
  }
  std::vector<std::string> model;
  for (size_t i = 0; i < entries.size(); ++i)
    model.push_back(s.OptionList[i] != nullptr ? entries[i] : std::string());
  size_t valueAt = 0;
  const int hit = Expected(plain, model, &valueAt);
  if (found != (hit >= 0)) fuzz::Fail();
  if (!(flags & 0x40)) {
    if (!found && value != nullptr) fuzz::Fail();
    if (found && value != s.OptionList[hit] + valueAt) fuzz::Fail();
  }

  for (size_t i = 0; i < entries.size(); ++i) FreeMem(s.OptionList[i]), s.OptionList[i] = nullptr;
  s.OptionCount = 0;
  s.OptionTrace = false;
  return 0;
}

// The start-delay parser on any text, checked against a model in wide arithmetic.
#include "fuzz/fuzz_support.h"
#include "runtime/startup/start_delay.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool Model(const std::string& text, uint32_t* ms) {
  if (text.empty()) return false;
  const unsigned __int128 kCap = static_cast<unsigned __int128>(1) << 100;
  unsigned __int128 seconds = 0;
  for (size_t i = 0; i < text.size();) {
    if (text[i] < '0' || text[i] > '9') return false;
    unsigned __int128 number = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
      number = std::min(kCap, number * 10 + static_cast<unsigned>(text[i] - '0'));
    if (i == text.size()) return false;
    unsigned factor;
    switch (text[i++]) {
    case 'd':
      factor = 86400;
      break;
    case 'h':
      factor = 3600;
      break;
    case 'm':
      factor = 60;
      break;
    case 's':
      factor = 1;
      break;
    default:
      return false;
    }
    seconds = std::min(kCap, seconds + number * factor);
  }
  const unsigned __int128 total = seconds * 1000;
  *ms = total < kLongestStartDelayMs ? static_cast<uint32_t>(total) : kLongestStartDelayMs;
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Prepare();
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.c_str(); // up to the first zero byte, as the option's value would be
  std::vector<char> exact(text.begin(), text.end());
  exact.push_back(0);
  uint32_t ms = 1, expected = 0;
  const bool sleeps = ParseStartDelay(exact.data(), &ms);
  const bool modelSleeps = Model(text, &expected);
  if (sleeps != modelSleeps || ms != (sleeps ? expected : 0)) fuzz::Fail();
  return 0;
}

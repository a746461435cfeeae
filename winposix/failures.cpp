#include "winposix/internal.h"

#include <atomic>

namespace winposix {
namespace {

struct FailState {
  std::atomic<unsigned> calls{0};
  std::atomic<unsigned> failAt{0}; // 0: no failure arranged
  std::atomic<bool> persistent{false};
};

FailState states[static_cast<int>(FailPoint::Count)];

} // namespace

void FailNth(FailPoint point, unsigned n, bool persistent) {
  FailState& s = states[static_cast<int>(point)];
  s.persistent = persistent;
  s.failAt = n == 0 ? 0 : s.calls.load() + n;
}

void ClearFailures() {
  for (FailState& s : states) {
    s.failAt = 0;
    s.persistent = false;
    s.calls = 0;
  }
}

unsigned CallCount(FailPoint point) {
  return states[static_cast<int>(point)].calls.load();
}

bool ShouldFail(FailPoint point) {
  FailState& s = states[static_cast<int>(point)];
  unsigned call = ++s.calls;
  unsigned at = s.failAt.load();
  if (at == 0) return false;
  return s.persistent ? call >= at : call == at;
}

void ResetAll() {
  ClearFailures();
  RestoreExports();
  ResetVersion();
  ResetSystemRecord();
  RestoreOverrides();
  ResetUserInterface();
  ResetConsole();
}

} // namespace winposix

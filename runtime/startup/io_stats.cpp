#include "runtime/startup/io_stats.h"

#include "runtime/diag/trace.h"
#include "runtime/platform/lock.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/sysinfo/process_times.h"
#include "runtime/text/format.h"
#include "runtime/text/scramble.h"
#include "runtime/text/strings.h"

namespace {

// Opens, creates and seeks (their second counters are always 0), then reads and writes with the
// bytes asked for.
constexpr auto kReportFormat = Scramble("I/O: O %Hu/%Hu C %Hu/%Hu S %Hu/%Hu R %Hu/%Hu W %Hu/%Hu");
static_assert(sizeof kReportFormat.bytes == 55, "the report format is 54 characters");

} // namespace

void EnableIoStats() {
  RuntimeStateRecord& s = RuntimeState;
  if (!s.IoStatsOn && HasOption(kOptIoStats)) {
    s.IoStatsOn = true;
    // Null when memory runs out: the counters then change without a lock.
    s.IoStatsLock = new TLock(0, 0);
    for (uint64_t& counter : s.IoStats) counter = 0;
  }
  if (!s.SlowReadOn && HasOption(kOptSlowRead)) s.SlowReadOn = true;
}

void ReportIoStats() {
  RuntimeStateRecord& s = RuntimeState;
  if (!s.IoStatsOn) return;
  RegisterInt64Directive();
  char format[256];
  StrCopyN(format, kReportFormat.bytes, sizeof format);
  UnscrambleName(format);
  if (s.IoStatsLock != nullptr) s.IoStatsLock->Enter();
  const uint64_t* c = s.IoStats;
  char line[512];
  FormatString(line, sizeof line, format, U64Low(c[0]), U64High(c[0]), U64Low(c[1]), U64High(c[1]),
               U64Low(c[2]), U64High(c[2]), U64Low(c[3]), U64High(c[3]), U64Low(c[4]),
               U64High(c[4]), U64Low(c[5]), U64High(c[5]), U64Low(c[6]), U64High(c[6]),
               U64Low(c[7]), U64High(c[7]), U64Low(c[8]), U64High(c[8]), U64Low(c[9]),
               U64High(c[9]));
  if (s.IoStatsLock != nullptr) s.IoStatsLock->Leave();
  TraceLine(line, nullptr);
  s.IoStatsOn = false;
  delete s.IoStatsLock;
  s.IoStatsLock = nullptr;
}

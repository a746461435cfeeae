#include "recorded.h"
#include "sysinfo_fixture.h"

#include <bitset>
#include <cstdio>

namespace {

using sysinfo::Lines;
using sysinfo::Option;

// Where the calling thread runs, as the system says: the layer answers for the machine a test
// describes, Windows (Vista on) for the real one.
uint32_t CurrentProcessor() {
  typedef DWORD(WINAPI * Fn)();
  static const Fn fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetCurrentProcessorNumber")));
  return fn != nullptr ? fn() : 0;
}

std::string ProbeLine(unsigned mask, unsigned apic, unsigned phys, unsigned log) {
  char line[128];
  std::snprintf(line, sizeof line,
                "TThread::SMTSupported() AffinityMask:%02X -> "
                "CurProcessorAPICID:%u,PhysId:%u,LogId:%u",
                mask, apic, phys, log);
  return line;
}

std::vector<std::pair<int, int>> Entries() {
  std::vector<std::pair<int, int>> used;
  for (const ApicEntry& e : SmtState.ApicTable)
    if (e.Used) used.push_back({e.PhysId, e.LogId});
  return used;
}

class SmtTest : public sysinfo::SysInfoTest {};

// The probe on the real machine: it must visit every processor of the process, find each one's
// (recorded) APIC id there, and give the process its mask back.
TEST_F(SmtTest, ProbeVisitsEveryRealProcessorAndRestoresTheMask) {
  DWORD_PTR process = 0, system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
  const size_t n = std::bitset<64>(process).count();
  if (process != system || n < 2 || n > 32)
    GTEST_SKIP() << "needs a process on all of 2 to 32 processors";
  recorded::Processor p = recorded::Named("pentium4_northwood_ht");
  p.apicIds.clear();
  for (size_t i = 0; i < n; ++i) p.apicIds.push_back(static_cast<uint8_t>(i));
  recorded::Replay replay(p, &CurrentProcessor);
  ASSERT_TRUE(IdentifyCpu(false));

  Lines out(STD_OUTPUT_HANDLE), err(STD_ERROR_HANDLE);
  uint32_t count = 0;
  EXPECT_TRUE(TThread::SMTSupported(&count));
  std::vector<std::string> expected;
  std::vector<std::pair<int, int>> entries;
  for (unsigned i = 0; i < n; ++i) {
    expected.push_back(ProbeLine(1u << i, i, i >> 1, i & 1));
    entries.push_back({i >> 1, i & 1});
  }
  EXPECT_EQ(out.Finish(), expected);
  EXPECT_EQ(Entries(), entries);
  const uint32_t packages = static_cast<uint32_t>((n + 1) / 2);
  EXPECT_EQ(err.Finish(),
            std::vector<std::string>{"IA32_PhysCPUCount: " + std::to_string(packages)});
  EXPECT_EQ(count, packages);
  DWORD_PTR after = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &after, &system));
  EXPECT_EQ(after, process);
}

#ifndef _WIN32

struct ProbeCase {
  const char* what;
  const char* processor;
  unsigned processors;
  std::vector<uint8_t> apicIds = {}; // empty: the recorded ones
  unsigned long long startMask = 0;  // 0: all processors
  unsigned long long refused = 0;
  std::vector<std::string> options = {};
  const char* missingExport = nullptr;
  bool allocationFails = false;
  std::vector<std::string> out = {};
  std::vector<std::string> err = {};
  std::vector<std::pair<int, int>> entries = {};
  bool answer = false;
  bool decided = false;
  uint32_t count = 0;
};

TEST_F(SmtTest, ProbeOnDescribedMachines) {
  const std::vector<std::string> dualPackage = {ProbeLine(1, 0, 0, 0), ProbeLine(2, 1, 0, 1),
                                                ProbeLine(4, 6, 3, 0), ProbeLine(8, 7, 3, 1)};
  const std::vector<std::pair<int, int>> dualEntries = {{0, 0}, {0, 1}, {3, 0}, {3, 1}};
  const ProbeCase cases[] = {
      {.what = "two Hyper-Threading packages",
       .processor = "xeon_dp_ht",
       .processors = 4,
       .out = dualPackage,
       .err = {"IA32_PhysCPUCount: 2"},
       .entries = dualEntries,
       .answer = true,
       .decided = true,
       .count = 2},
      {.what = "one processor: nothing to move to",
       .processor = "pentium4_northwood_ht",
       .processors = 1,
       .err = {"IA32_PhysCPUCount: 1"},
       .count = 1},
      {.what = "package ids of 32 and more are not counted",
       .processor = "xeon_dp_ht",
       .processors = 4,
       .apicIds = {0x40, 0x41, 0x46, 0x47},
       .out = {ProbeLine(1, 64, 32, 0), ProbeLine(2, 65, 32, 1), ProbeLine(4, 70, 35, 0),
               ProbeLine(8, 71, 35, 1)},
       .err = {"IA32_PhysCPUCount: 1"},
       .entries = {{32, 0}, {32, 1}, {35, 0}, {35, 1}},
       .answer = true,
       .decided = true,
       .count = 1},
      {.what = "the processor-count option wins",
       .processor = "xeon_dp_ht",
       .processors = 4,
       .options = {Option(kOptCpuCount, "8")},
       .out = dualPackage,
       .err = {"IA32_PhysCPUCount: 2"},
       .entries = dualEntries,
       .answer = true,
       .decided = true,
       .count = 8},
      {.what = "an unreadable processor count is ignored",
       .processor = "xeon_dp_ht",
       .processors = 4,
       .options = {Option(kOptCpuCount, "8x"), Option(kOptNoSmt)},
       .decided = true,
       .count = 4},
      {.what = "the no-SMT option decides without probing",
       .processor = "xeon_dp_ht",
       .processors = 4,
       .options = {Option(kOptNoSmt)},
       .decided = true,
       .count = 4},
      {.what = "not an Intel processor",
       .processor = "amd_athlon64_x2",
       .processors = 2,
       .count = 2},
      {.what = "4 logical processors in 2 cores count as 2",
       .processor = "pentium_ee_840",
       .processors = 4,
       .out = {ProbeLine(1, 0, 0, 0), ProbeLine(2, 1, 0, 1), ProbeLine(4, 2, 1, 0),
               ProbeLine(8, 3, 1, 1)},
       .err = {"IA32_PhysCPUCount: 2"},
       .entries = {{0, 0}, {0, 1}, {1, 0}, {1, 1}},
       .answer = true,
       .decided = true,
       .count = 2},
      {.what = "two such packages: 4 x 2 is not above 8, still halved to 2",
       .processor = "pentium_ee_840",
       .processors = 8,
       .apicIds = {0, 1, 2, 3, 4, 5, 6, 7},
       .out = {ProbeLine(1, 0, 0, 0), ProbeLine(2, 1, 0, 1), ProbeLine(4, 2, 1, 0),
               ProbeLine(8, 3, 1, 1), ProbeLine(0x10, 4, 2, 0), ProbeLine(0x20, 5, 2, 1),
               ProbeLine(0x40, 6, 3, 0), ProbeLine(0x80, 7, 3, 1)},
       .err = {"IA32_PhysCPUCount: 4"},
       .entries = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {3, 0}, {3, 1}},
       .answer = true,
       .decided = true,
       .count = 4},
      {.what = "a process on part of the machine does not probe",
       .processor = "xeon_dp_ht",
       .processors = 4,
       .startMask = 0x3,
       .count = 4},
      {.what = "a processor that refuses the process is skipped",
       .processor = "xeon_dp_ht",
       .processors = 4,
       .refused = 0x2,
       .out = {ProbeLine(1, 0, 0, 0), ProbeLine(4, 6, 3, 0), ProbeLine(8, 7, 3, 1)},
       .err = {"IA32_PhysCPUCount: 2"},
       .entries = {{0, 0}, {3, 0}, {3, 1}},
       .answer = true,
       .decided = true,
       .count = 2},
      {.what = "packages without a second logical processor",
       .processor = "pentium4_northwood_ht",
       .processors = 2,
       .apicIds = {0, 2},
       .out = {ProbeLine(1, 0, 0, 0), ProbeLine(2, 2, 1, 0)},
       .err = {"IA32_PhysCPUCount: 2"},
       .entries = {{0, 0}, {1, 0}},
       .count = 2},
      {.what = "no GetProcessAffinityMask",
       .processor = "xeon_dp_ht",
       .processors = 4,
       .missingExport = "GetProcessAffinityMask",
       .count = 4},
      {.what = "no SetProcessAffinityMask",
       .processor = "xeon_dp_ht",
       .processors = 4,
       .missingExport = "SetProcessAffinityMask",
       .count = 4},
      {.what = "no memory for the snapshot",
       .processor = "xeon_dp_ht",
       .processors = 4,
       .allocationFails = true,
       .count = 4},
  };
  for (const ProbeCase& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    recorded::Processor p = recorded::Named(c.processor);
    if (!c.apicIds.empty()) p.apicIds = c.apicIds;
    winposix::SetSystemRecord({.processors = c.processors, .refusedMask = c.refused});
    if (c.startMask != 0) {
      ASSERT_TRUE(SetProcessAffinityMask(GetCurrentProcess(), c.startMask));
    }
    const unsigned long long before = winposix::EmulatedProcessMask();
    recorded::Replay replay(p, &CurrentProcessor);
    ASSERT_TRUE(IdentifyCpu(false));
    SetOptions(c.options);
    if (c.missingExport != nullptr) RemoveSystemExport(c.missingExport);
    if (c.allocationFails) winposix::FailNth(winposix::FailPoint::VirtualAlloc, 1);

    Lines out(STD_OUTPUT_HANDLE), err(STD_ERROR_HANDLE);
    uint32_t count = 0;
    EXPECT_EQ(TThread::SMTSupported(&count), c.answer);
    EXPECT_EQ(out.Finish(), c.out);
    EXPECT_EQ(err.Finish(), c.err);
    EXPECT_EQ(Entries(), c.entries);
    EXPECT_EQ(SmtState.SmtDecided, c.decided);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(winposix::EmulatedProcessMask(), before);
  }
}

// An undecided answer is asked again: the next call probes again, from the table's front.
TEST_F(SmtTest, UndecidedProbeRunsAgainAndADecidedOneDoesNot) {
  winposix::SetSystemRecord({.processors = 2});
  recorded::Processor p = recorded::Named("pentium4_northwood_ht");
  p.apicIds = {0, 2};
  recorded::Replay replay(p, &CurrentProcessor);
  Lines err(STD_ERROR_HANDLE);
  for (int call = 0; call < 2; ++call) {
    Lines out(STD_OUTPUT_HANDLE);
    EXPECT_FALSE(TThread::SMTSupported(nullptr));
    EXPECT_EQ(out.Finish().size(), 2u) << call;
    EXPECT_EQ(Entries().size(), 2u);
  }
  // A machine with fewer processors now: the third probe leaves no stale entry behind.
  winposix::SetSystemRecord({.processors = 1});
  EXPECT_FALSE(TThread::SMTSupported(nullptr));
  EXPECT_TRUE(Entries().empty());

  winposix::SetSystemRecord({.processors = 2});
  p.apicIds = {0, 1};
  recorded::Replay smt(p, &CurrentProcessor);
  Lines out(STD_OUTPUT_HANDLE);
  EXPECT_TRUE(TThread::SMTSupported(nullptr));
  uint32_t count = 0;
  EXPECT_TRUE(TThread::SMTSupported(&count)); // decided: no fifth probe
  EXPECT_EQ(out.Finish().size(), 2u);
  const std::vector<std::string> counts = {"IA32_PhysCPUCount: 2", "IA32_PhysCPUCount: 2",
                                           "IA32_PhysCPUCount: 1", "IA32_PhysCPUCount: 1"};
  EXPECT_EQ(err.Finish(), counts);
  EXPECT_EQ(count, 1u);
}

TEST_F(SmtTest, CountsAndPinningAreDecidedOnce) {
  struct Case {
    std::vector<std::string> options;
    unsigned platform;
    uint32_t count, countOverride;
    bool pinningAllowed, pinningAvailable;
    const char* missingExport;
  } cases[] = {
      {{}, 2, 3, 0, true, true, nullptr},
      {{Option(kOptCpuCount, "0x10")}, 2, 16, 16, true, true, nullptr},
      {{Option(kOptCpuCount, "0")}, 2, 3, 0, true, true, nullptr},
      {{Option(kOptCpuCount, "")}, 2, 3, 0, true, true, nullptr},
      {{Option(kOptCpuCount)}, 2, 3, 0, true, true, nullptr},
      {{Option(kOptNoPinning)}, 2, 3, 0, false, false, nullptr},
      {{}, 0, 3, 0, false, false, nullptr}, // Win32s
      {{}, 1, 3, 0, true, false, "SetThreadAffinityMask"},
  };
  for (const Case& c : cases) {
    Reset();
    winposix::SetSystemRecord({.processors = 3});
    SetOptions(c.options);
    winposix::SetVersion({c.platform, 4, 0, 950, ""});
    ReadOsVersion();
    if (c.missingExport != nullptr) RemoveSystemExport(c.missingExport);
    EXPECT_EQ(ProcessorCount(), c.count);
    EXPECT_EQ(ProcessorCountOverride(), c.countOverride);
    EXPECT_EQ(PinningAllowed(), c.pinningAllowed);
    EXPECT_EQ(PinningAvailable(), c.pinningAvailable);
    // Later changes reach none of the cached answers; the look-up is made every time.
    SetOptions({Option(kOptCpuCount, "5"), Option(kOptNoPinning)});
    winposix::SetSystemRecord({.processors = 7});
    RestoreSystemExports();
    EXPECT_EQ(ProcessorCount(), c.count);
    EXPECT_EQ(ProcessorCountOverride(), c.countOverride);
    EXPECT_EQ(PinningAllowed(), c.pinningAllowed);
    EXPECT_EQ(PinningAvailable(), c.pinningAllowed);
  }
  OsVersion = OsVersionRecord{};
}

#endif

} // namespace

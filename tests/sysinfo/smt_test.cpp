#include "sysinfo_fixture.h"

#include <bitset>

namespace {

using namespace sysinfo;

using SmtTest = SysInfoTest;

// The probe on the real machine: it must visit every processor of the process, find each one's
// (recorded) APIC id there, and give the process its mask back.
TEST_F(SmtTest, ProbeVisitsEveryRealProcessorAndRestoresTheMask) {
  DWORD_PTR process = 0, system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
  const size_t n = std::bitset<64>(process).count();
  if (process != system || n < 2 || n > 32)
    GTEST_SKIP() << "needs a process on all of 2 to 32 processors";
  Processor p = Processors().at("pentium4_northwood_ht");
  p.apicIds.resize(n);
  for (size_t i = 0; i < n; ++i) p.apicIds[i] = static_cast<uint8_t>(i);
  Replay(p, true);
  ASSERT_TRUE(IdentifyCpu(false));
  Lines out(STD_OUTPUT_HANDLE), err(STD_ERROR_HANDLE);
  uint32_t count = 0;
  EXPECT_TRUE(TThread::SMTSupported(&count));
  EXPECT_EQ(out.Finish().size(), n);
  EXPECT_EQ(count, (n + 1) / 2);
  EXPECT_EQ(err.Finish(), std::vector<std::string>{"IA32_PhysCPUCount: " + std::to_string(count)});
  DWORD_PTR after = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &after, &system));
  EXPECT_EQ(after, process);
}

#ifndef _WIN32

TEST_F(SmtTest, ProbeOnDescribedMachines) {
  const std::vector<DataLine> lines = ReadData("smt_probes.txt");
  for (auto c = lines.begin(), line = c; c != lines.end(); c = line) {
    SCOPED_TRACE(c->where);
    std::vector<std::string> expected[2]; // out, err
    for (++line; line != lines.end() && line->kind != "probe"; ++line)
      expected[line->kind == "err"].push_back(line->text);
    if (c->Number("again") == 0) Reset();
    Processor p = Processors().at((*c)["probe"]);
    if (!(*c)["apic"].empty()) p.apicIds = c->ApicIds();
    winposix::SetSystemRecord(
        {.processors = c->Number("processors"), .refusedMask = c->Number("refused")});
    if (c->Number("mask") != 0) SetProcessAffinityMask(GetCurrentProcess(), c->Number("mask"));
    const unsigned long long before = winposix::EmulatedProcessMask();
    Replay(p, true);
    ASSERT_TRUE(IdentifyCpu(false));
    SetOptions(c->List("options"));
    if (!(*c)["missing"].empty()) RemoveSystemExport((*c)["missing"].c_str());
    if (c->Number("nomemory") != 0) winposix::FailNth(winposix::FailPoint::VirtualAlloc, 1);

    Lines out(STD_OUTPUT_HANDLE), err(STD_ERROR_HANDLE);
    uint32_t count = 0;
    EXPECT_EQ(TThread::SMTSupported(&count), c->Number("answer") != 0);
    EXPECT_EQ(out.Finish(), expected[0]);
    EXPECT_EQ(err.Finish(), expected[1]);
    EXPECT_EQ(SmtState.SmtDecided, c->Number("decided") != 0);
    EXPECT_EQ(count, c->Number("count"));
    EXPECT_EQ(winposix::EmulatedProcessMask(), before);
  }
}

TEST_F(SmtTest, CountsAndPinningAreDecidedOnce) {
  for (const DataLine& c : ReadData("pinning.txt")) {
    SCOPED_TRACE(c.where);
    Reset();
    winposix::SetSystemRecord({.processors = 3});
    SetOptions({c["option"]});
    winposix::SetVersion({c.Number("platform"), 4, 0, 950, ""});
    ReadOsVersion();
    if (!c["missing"].empty()) RemoveSystemExport(c["missing"].c_str());
    for (int pass = 0; pass < 2; ++pass) {
      EXPECT_EQ(ProcessorCount(), c.Number("count"));
      EXPECT_EQ(ProcessorCountOverride(), c.Number("override"));
      EXPECT_EQ(PinningAllowed(), c.Number("allowed") != 0);
      EXPECT_EQ(PinningAvailable(), c.Number(pass == 0 ? "available" : "allowed") != 0);
      // Later changes reach none of the cached answers; the look-up is made every time.
      SetOptions({"-~CpuCount:5", "-~NoPinning"});
      winposix::SetSystemRecord({.processors = 7});
      RestoreSystemExports();
    }
  }
  OsVersion = OsVersionRecord{};
}

#endif

} // namespace

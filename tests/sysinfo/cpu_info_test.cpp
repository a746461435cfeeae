#include "app/stress.h"
#include "sysinfo_fixture.h"

#include <cpuid.h>
#include <cstdlib>
#include <cstring>

namespace {

using namespace sysinfo;
using CpuInfoTest = SysInfoTest;

// Quietly each recorded processor writes nothing and yields its class; traced, it writes its
// golden file's lines (CALVISTO_UPDATE_GOLDEN=1 rewrites them, for review by hand) and fills the
// same record, since without the trace only the leaves the record keeps are read.
TEST_F(CpuInfoTest, EveryRecordedProcessor) {
  const bool update = std::getenv("CALVISTO_UPDATE_GOLDEN") != nullptr;
  for (const auto& [name, p] : Processors()) {
    SCOPED_TRACE(name);
    Reset();
    Replay(p);
    Lines quiet(STD_ERROR_HANDLE);
    EXPECT_EQ(IdentifyCpu(false), !p.noCpuId);
    EXPECT_TRUE(quiet.Finish().empty());
    ComputeProcessorClass();
    EXPECT_EQ(RuntimeState.ProcessorClass, p.processorClass);
    const CpuInfoRecord record = CpuInfo, zero = {};
    EXPECT_EQ(std::memcmp(&record, &zero, sizeof zero) == 0, p.noCpuId);
    if (p.quiet) continue;
    Reset();
    Replay(p);
    Lines traced(STD_ERROR_HANDLE);
    EXPECT_EQ(IdentifyCpu(true), !p.noCpuId);
    std::string got;
    for (const std::string& line : traced.Finish()) got += line + "\n";
    if (update) std::ofstream(DataPath("golden/" + name + ".txt"), std::ios::binary) << got;
    EXPECT_EQ(got, ReadFile("golden/" + name + ".txt"));
    EXPECT_EQ(std::memcmp(&record, &CpuInfo, sizeof record), 0);
  }
}

// The loop is SSE code: without usable SSE the driver says why in one line and refuses before
// it allocates or pins anything, instead of faulting at the loop's first instruction.
TEST_F(CpuInfoTest, WithoutUsableSseTheDriverRefusesInOneLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"pentium2_deschutes", "This processor has no SSE; the stress test needs it"},
      {"edge_p3_sse_off",
       "Windows has not enabled SSE on this processor; the stress test needs it"},
  };
  for (const auto& [processor, line] : cases) {
    Replay(Processors().at(processor));
    IdentifyCpu(false);
    Lines error(STD_ERROR_HANDLE);
    EXPECT_EQ(RunStress(1), kExitNoSse);
    EXPECT_EQ(error.Finish(), std::vector<std::string>{line});
  }
}

// Identification once per processor overwrites the record; the feature flags only rise, and a
// processor that reads no extended leaves leaves the name alone.
TEST_F(CpuInfoTest, SecondIdentificationKeepsRaisedFlagsAndName) {
  Replay(Processors().at("pentium4_northwood_ht"));
  ASSERT_TRUE(IdentifyCpu(false));
  Replay(Processors().at("pentium_p54c"));
  ASSERT_TRUE(IdentifyCpu(false));
  EXPECT_EQ(CpuInfo.Family, 5);
  EXPECT_EQ(CpuInfo.Leaf2[0], 0x665B5001u); // leaf 2 is beyond the P54C's highest leaf
  EXPECT_TRUE(CpuInfo.HasMMX && CpuInfo.HasFXSR && CpuInfo.HasSSE);
  EXPECT_STREQ(CpuInfo.Name, "Intel(R) Pentium(R) 4 CPU 3.06GHz");
}

// Without a recorded processor the seam executes the instructions themselves.
TEST_F(CpuInfoTest, TheRealProcessorAnswers) {
  unsigned eax, ebx, ecx, edx;
  __cpuid(0, eax, ebx, ecx, edx);
  ASSERT_TRUE(IdentifyCpu(false));
  const uint32_t vendor[3] = {ebx, edx, ecx};
  EXPECT_EQ(CpuInfo.Leaf0[0], eax);
  EXPECT_EQ(std::string(CpuInfo.VendorName),
            std::string(reinterpret_cast<const char*>(vendor), 12));
  EXPECT_TRUE(CpuInfo.HasSSE); // every x86-64 processor and system has SSE
  const uint64_t first = ReadTimeStamp();
  EXPECT_GT(ReadTimeStamp(), first);
  Replay(Processors().at("pentium_p54c"));
  EXPECT_EQ(ReadTimeStamp(), 1000u);
  EXPECT_EQ(ReadTimeStamp(), 2000u);
}

} // namespace

#include "app/stress.h"
#include "recorded.h"
#include "sysinfo_fixture.h"

#include <cpuid.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

using recorded::Leaf;
using sysinfo::Lines;
using sysinfo::Option;

// Golden files lie beside this source. CALVISTO_UPDATE_GOLDEN=1 rewrites them from the run, for
// review by hand before they are kept.
std::string GoldenPath(const std::string& name) {
  std::string dir = __FILE__;
  dir.resize(dir.find_last_of("/\\") + 1);
  return dir + "golden/" + name + ".txt";
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

class CpuInfoTest : public sysinfo::SysInfoTest {};

TEST_F(CpuInfoTest, EveryRecordedProcessorReportsItsGoldenLinesAndClass) {
  const bool update = std::getenv("CALVISTO_UPDATE_GOLDEN") != nullptr;
  for (const recorded::Processor& p : recorded::All()) {
    SCOPED_TRACE(p.name);
    Reset();
    recorded::Replay replay(p);
    Lines error(STD_ERROR_HANDLE);
    const bool identified = IdentifyCpu(true);
    const std::string got = Joined(error.Finish());
    EXPECT_EQ(identified, !p.noCpuId);
    ComputeProcessorClass();
    EXPECT_EQ(RuntimeState.ProcessorClass, p.processorClass);

    const std::string path = GoldenPath(p.name);
    if (update) {
      std::ofstream(path, std::ios::binary) << got;
      continue;
    }
    std::ifstream file(path, std::ios::binary);
    ASSERT_TRUE(file) << "cannot read " << path;
    std::stringstream expected;
    expected << file.rdbuf();
    EXPECT_EQ(got, expected.str());
  }
}

TEST_F(CpuInfoTest, NameAndSseEdgeCases) {
  const auto intel = [](uint32_t maxExt, const std::string& brand, uint32_t signature = 0xF29) {
    std::vector<RecordedLeaf> leaves = {recorded::Vendor(1, "GenuineIntel"),
                                        Leaf(1, signature, 0, 0, 0x0383FBFF),
                                        Leaf(0x80000000, maxExt, 0, 0, 0)};
    for (const RecordedLeaf& l : recorded::Brand(brand)) leaves.push_back(l);
    return recorded::Processor{"edge", leaves, false, 0};
  };
  struct Case {
    const char* what;
    recorded::Processor processor;
    bool sseStateOff;
    const char* name;
    bool hasSse;
    uint32_t processorClass;
  } cases[] = {
      {"brand of blanks only", intel(0x80000004, std::string(47, ' ')), false, "", true, 512},
      {"leading blanks go", intel(0x80000004, "   Mobile CPU"), false, "Mobile CPU", true, 512},
      {"only the first brand leaf", intel(0x80000002, "Intel(R) Pentium(R) 4 CPU"), false,
       "Intel(R) Pentium", true, 512},
      {"0x80000001 is the last leaf", intel(0x80000001, "Unread"), false, "", true, 512},
      {"no extended leaf at all", intel(0x7FFFFFFF, "Unread"), false, "", true, 512},
      {"family 15, SSE state off", intel(0x80000004, "P4"), true, "P4", false, 256},
      {"family 6, SSE state off", intel(0x80000004, "P3", 0x686), true, "P3", false, 64},
      {"Intel family 6 model 5 reads no brand", intel(0x80000004, "Unread", 0x652), false, "", true,
       128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    recorded::Replay replay(c.processor, nullptr, c.sseStateOff);
    EXPECT_TRUE(IdentifyCpu(false));
    EXPECT_STREQ(CpuInfo.Name, c.name);
    EXPECT_EQ(CpuInfo.HasSSE, c.hasSse);
    ComputeProcessorClass();
    EXPECT_EQ(RuntimeState.ProcessorClass, c.processorClass);
  }
}

// The loop is SSE code: without usable SSE the driver says why in one line and refuses before
// it allocates or pins anything, instead of faulting at the loop's first instruction.
TEST_F(CpuInfoTest, WithoutUsableSseTheDriverRefusesInOneLine) {
  const auto family6 = [](uint32_t edx) {
    return recorded::Processor{
        "p6", {recorded::Vendor(1, "GenuineIntel"), Leaf(1, 0x686, 0, 0, edx)}, false, 0};
  };
  const struct {
    const char* what;
    recorded::Processor processor;
    bool sseStateOff;
    const char* line;
  } cases[] = {
      {"no SSE bit", family6(0x0183FBFF), false,
       "This processor has no SSE; the stress test needs it"},
      {"SSE state off", family6(0x0383FBFF), true,
       "Windows has not enabled SSE on this processor; the stress test needs it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    recorded::Replay replay(c.processor, nullptr, c.sseStateOff);
    IdentifyCpu(false);
    Lines error(STD_ERROR_HANDLE);
    EXPECT_EQ(RunStress(1), kExitNoSse);
    EXPECT_EQ(error.Finish(), std::vector<std::string>{c.line});
  }
}

// Identification once per processor overwrites the record; the feature flags only rise, and a
// processor that reads no extended leaves leaves the name alone.
TEST_F(CpuInfoTest, SecondIdentificationKeepsRaisedFlagsAndName) {
  {
    recorded::Replay p4(recorded::Named("pentium4_northwood_ht"));
    ASSERT_TRUE(IdentifyCpu(false));
  }
  recorded::Replay p54c(recorded::Named("pentium_p54c"));
  Lines error(STD_ERROR_HANDLE);
  ASSERT_TRUE(IdentifyCpu(false));
  EXPECT_TRUE(error.Finish().empty());
  EXPECT_EQ(CpuInfo.Family, 5);
  EXPECT_EQ(CpuInfo.Leaf0[0], 1u);
  EXPECT_EQ(CpuInfo.Leaf2[0], 0x665B5001u); // leaf 2 is beyond the P54C's highest leaf
  EXPECT_TRUE(CpuInfo.HasMMX && CpuInfo.HasFXSR && CpuInfo.HasSSE);
  EXPECT_STREQ(CpuInfo.Name, "Intel(R) Pentium(R) 4 CPU 3.06GHz");
}

std::string Described(const CpuInfoRecord& c) {
  std::ostringstream out;
  out << c.Valid << ' ' << c.Vendor << ' ' << c.VendorName << ' ' << +c.Family << ' ' << +c.Model
      << ' ' << +c.Stepping << ' ' << +c.Brand << " '" << c.Name << "' " << c.HasMMX << c.HasFXSR
      << c.HasSSE << std::hex;
  for (const uint32_t* leaf : {c.Leaf0, c.Leaf1, c.Leaf2, c.Leaf3})
    for (int i = 0; i < 4; ++i) out << ' ' << leaf[i];
  out << ' ' << c.MaxExtLeaf;
  return out.str();
}

// Without the trace only the leaves the record keeps are read: the record must come out as the
// traced identification leaves it.
TEST_F(CpuInfoTest, QuietIdentificationFillsTheSameRecord) {
  for (const recorded::Processor& p : recorded::All()) {
    SCOPED_TRACE(p.name);
    recorded::Replay replay(p);
    std::string traced;
    {
      Reset();
      Lines error(STD_ERROR_HANDLE);
      IdentifyCpu(true);
      traced = Described(CpuInfo);
      error.Finish();
    }
    Reset();
    Lines error(STD_ERROR_HANDLE);
    IdentifyCpu(false);
    EXPECT_TRUE(error.Finish().empty());
    EXPECT_EQ(Described(CpuInfo), traced);
  }
}

// Highest leaves near 2^32 (a hypervisor can report anything) must not mean billions of reads.
TEST_F(CpuInfoTest, HugeHighestLeavesStillEndQuickly) {
  std::vector<RecordedLeaf> leaves = {recorded::Vendor(0xFFFFFFFF, "AuthenticAMD"),
                                      Leaf(1, 0xF48, 0, 0, 0x0383FBFF),
                                      Leaf(0x80000000, 0xFFFFFFFF, 0, 0, 0)};
  for (const RecordedLeaf& l : recorded::Brand("AMD Athlon(tm) 64 Processor 3200+"))
    leaves.push_back(l);
  recorded::Replay replay(recorded::Processor{"huge", leaves, false, 0});
  Reset();
  EXPECT_TRUE(IdentifyCpu(false));
  EXPECT_STREQ(CpuInfo.Name, "AMD Athlon(tm) 64 Processor 3200+");
  EXPECT_EQ(CpuInfo.Leaf0[0], 0xFFFFFFFFu);
}

TEST_F(CpuInfoTest, WithoutCpuIdTheRecordStaysZero) {
  recorded::Replay i486(recorded::Named("i486_no_cpuid"));
  uint32_t eax = 1, edx = 1;
  EXPECT_FALSE(ReadCpuId(0, &eax, nullptr, nullptr, &edx));
  EXPECT_EQ(eax, 0u);
  EXPECT_EQ(edx, 0u);
  EXPECT_FALSE(IdentifyCpu(true));
  const CpuInfoRecord zero{};
  EXPECT_EQ(std::memcmp(&CpuInfo, &zero, sizeof zero), 0);
}

TEST_F(CpuInfoTest, TheCpuReportOptionMakesIdentificationVerbose) {
  recorded::Replay p3(recorded::Named("pentium3_coppermine"));
  for (bool report : {false, true}) {
    CpuInfo = CpuInfoRecord{};
    // Without pinning the calling thread identifies once, whatever the processor count.
    SetOptions(report ? std::vector<std::string>{Option(kOptCpuReport), Option(kOptNoPinning)}
                      : std::vector<std::string>{"-~Other"});
    Lines error(STD_ERROR_HANDLE);
    EXPECT_TRUE(IdentifyAllCpus());
    EXPECT_EQ(error.Finish().size(), report ? 5u : 0u) << report;
    EXPECT_TRUE(CpuInfo.Valid);
  }
}

TEST_F(CpuInfoTest, ProcessorClassFollowsFamilyAndFeatures) {
  struct Case {
    bool valid;
    uint8_t family;
    bool mmx, fxsr, sseBit, sse;
    uint32_t code;
  } cases[] = {
      {false, 6, true, true, true, true, 1},    {true, 4, false, false, false, false, 1},
      {true, 5, false, false, false, false, 2}, {true, 5, true, false, false, false, 8},
      {true, 6, false, true, true, true, 4},    {true, 6, true, false, true, true, 16},
      {true, 6, true, true, false, false, 32},  {true, 6, true, true, true, false, 64},
      {true, 6, true, true, true, true, 128},   {true, 15, true, true, true, false, 256},
      {true, 15, true, true, true, true, 512},  {true, 7, true, true, true, true, 1},
  };
  for (const Case& c : cases) {
    CpuInfo = CpuInfoRecord{};
    CpuInfo.Valid = c.valid;
    CpuInfo.Family = c.family;
    CpuInfo.HasMMX = c.mmx;
    CpuInfo.HasFXSR = c.fxsr;
    CpuInfo.HasSSE = c.sse;
    CpuInfo.Leaf1[3] = c.sseBit ? 1u << 25 : 0;
    ComputeProcessorClass();
    EXPECT_EQ(RuntimeState.ProcessorClass, c.code) << "family " << int{c.family};
  }
}

// Without a recorded processor the seam executes the instructions themselves.
TEST_F(CpuInfoTest, TheRealProcessorAnswers) {
  unsigned eax, ebx, ecx, edx;
  __cpuid(0, eax, ebx, ecx, edx);
  ASSERT_TRUE(IdentifyCpu(false));
  EXPECT_EQ(CpuInfo.Leaf0[0], eax);
  EXPECT_EQ(std::string(CpuInfo.VendorName), std::string(reinterpret_cast<char*>(&ebx), 4) +
                                                 std::string(reinterpret_cast<char*>(&edx), 4) +
                                                 std::string(reinterpret_cast<char*>(&ecx), 4));
  EXPECT_TRUE(ProbeSSE()); // every x86-64 processor and system has SSE
  EXPECT_TRUE(CpuInfo.HasSSE);
  const uint64_t first = ReadTimeStamp();
  EXPECT_GT(ReadTimeStamp(), first);

  recorded::Replay replay(recorded::Named("pentium_p54c"));
  EXPECT_EQ(ReadTimeStamp(), 1000u);
  EXPECT_EQ(ReadTimeStamp(), 2000u);
}

} // namespace

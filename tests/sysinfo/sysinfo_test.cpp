// Processor identification, the SMT probe, the system description and the process times.
#include "app/stress.h"
#include "runtime/platform/thread.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/sysinfo/cpu_info.h"
#include "runtime/sysinfo/process_times.h"
#include "runtime/sysinfo/processor.h"
#include "runtime/sysinfo/smt.h"
#include "runtime/sysinfo/system_description.h"
#include "tests/support/std_capture.h"
#ifndef _WIN32
#include "tests/support/fakes.h"
#include "tests/support/system_exports.h"
#endif

#include <chrono>
#include <cpuid.h>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iomanip>

namespace {

const std::string kHere =
    std::string(__FILE__).substr(0, std::string(__FILE__).find_last_of("/\\") + 1);

std::string ReadText(const std::string& name) {
  std::ifstream file(kHere + name, std::ios::binary);
  EXPECT_TRUE(file) << "cannot read " << name;
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// A line of a data file: its first word, the text behind it, and the whole line read as
// "key value" pairs (a value with blanks in quotes); "where" names the file and line.
struct DataLine {
  std::string where, kind, text;
  mutable std::map<std::string, std::string> pairs;
  std::string operator[](const std::string& key) const { return pairs[key]; }
  uint32_t Number(const std::string& key, uint32_t absent = 0) const {
    return pairs[key].empty() ? absent : static_cast<uint32_t>(std::stoul(pairs[key], nullptr, 0));
  }
  std::vector<std::string> List(const std::string& key) const {
    std::vector<std::string> items;
    std::istringstream in((*this)[key]);
    for (std::string item; std::getline(in, item, ',');) items.push_back(item);
    return items;
  }
  std::vector<uint8_t> ApicIds() const {
    std::vector<uint8_t> ids;
    for (const std::string& id : List("apic")) ids.push_back(static_cast<uint8_t>(std::stoul(id)));
    return ids;
  }
};

// The lines of a data file, without blank lines and comments.
std::vector<DataLine> ReadData(const std::string& name) {
  std::istringstream file(ReadText(name));
  std::vector<DataLine> lines;
  int number = 0;
  for (std::string text; std::getline(file, text);) {
    DataLine line;
    line.where = name + ":" + std::to_string(++number);
    std::istringstream words(text), pairs(text);
    if (!(words >> line.kind) || line.kind[0] == '#') continue;
    std::getline(words >> std::ws, line.text);
    for (std::string key, value; pairs >> key >> std::quoted(value);) line.pairs[key] = value;
    lines.push_back(line);
  }
  return lines;
}

struct Processor {
  uint32_t processorClass;
  bool noCpuId, sseOff, quiet;
  std::vector<uint8_t> apicIds;
  std::vector<RecordedLeaf> leaves = {};
};

const std::map<std::string, Processor>& Processors() {
  static const std::map<std::string, Processor> processors = [] {
    std::map<std::string, Processor> all;
    Processor* p = nullptr;
    for (const DataLine& line : ReadData("processors.txt")) {
      if (line.kind == "processor") {
        p = &(all[line["processor"]] =
                  Processor{line.Number("class"), line.Number("nocpuid") != 0,
                            line.Number("sseoff") != 0, line.Number("quiet") != 0, line.ApicIds()});
        continue;
      }
      RecordedLeaf leaf = {};
      std::istringstream(line.kind + " " + line.text) >> std::hex >> leaf.Leaf >> leaf.Eax >>
          leaf.Ebx >> leaf.Ecx >> leaf.Edx;
      p->leaves.push_back(leaf);
    }
    return all;
  }();
  return processors;
}

std::vector<std::string> Lines(Capture& capture) {
  std::string all;
  for (const std::string& write : capture.Finish()) all += write;
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(all.substr(start, end - start));
  if (start < all.size()) lines.push_back(all.substr(start) + "<unterminated>");
  return lines;
}

class SysInfoTest : public ::testing::Test {
protected:
  void SetUp() override { Reset(); }
  void TearDown() override { Reset(); }
  void Reset() {
    ReplayProcessor(nullptr);
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
    SetOptions({});
    CpuInfo = CpuInfoRecord{};
    SmtState = SmtStateRecord{};
    WineCheck = WineCheckRecord{};
#ifndef _WIN32
    ResetLayer();
#endif
  }

  void SetOptions(std::vector<std::string> options) {
    options_ = std::move(options);
    RuntimeState.OptionCount = static_cast<uint32_t>(options_.size());
    for (size_t i = 0; i < options_.size(); ++i) RuntimeState.OptionList[i] = options_[i].data();
  }

  // Placed, the APIC id answers for the processor the system says the caller runs on.
  void Replay(const Processor& p, bool placed = false) {
    const Processor& r = replayed_ = p;
    seam_ = {r.leaves.data(),  static_cast<uint32_t>(r.leaves.size()),  r.noCpuId, r.sseOff,
             r.apicIds.data(), static_cast<uint32_t>(r.apicIds.size()), nullptr,   1000};
    if (placed)
      seam_.CurrentProcessor = [] { return static_cast<uint32_t>(GetCurrentProcessorNumber()); };
    ReplayProcessor(&seam_);
  }

private:
  std::vector<std::string> options_;
  Processor replayed_ = {};
  RecordedProcessor seam_ = {};
};

// Quietly each recorded processor writes nothing and yields its class; traced, it writes its
// golden file (CALVISTO_UPDATE_GOLDEN=1 rewrites it) and fills the record the quiet run fills.
TEST_F(SysInfoTest, EveryRecordedProcessor) {
  for (const auto& [name, p] : Processors()) {
    SCOPED_TRACE(name);
    Reset();
    Replay(p);
    Capture quiet(STD_ERROR_HANDLE);
    EXPECT_EQ(IdentifyCpu(false), !p.noCpuId);
    EXPECT_TRUE(Lines(quiet).empty());
    ComputeProcessorClass();
    EXPECT_EQ(RuntimeState.ProcessorClass, p.processorClass);
    const CpuInfoRecord record = CpuInfo, zero = {};
    EXPECT_EQ(std::memcmp(&record, &zero, sizeof zero) == 0, p.noCpuId);
    if (p.quiet) continue;
    Reset();
    Replay(p);
    Capture traced(STD_ERROR_HANDLE);
    EXPECT_EQ(IdentifyCpu(true), !p.noCpuId);
    std::string got;
    for (const std::string& line : Lines(traced)) got += line + "\n";
    if (std::getenv("CALVISTO_UPDATE_GOLDEN"))
      std::ofstream(kHere + "golden/" + name + ".txt", std::ios::binary) << got;
    EXPECT_EQ(got, ReadText("golden/" + name + ".txt"));
    EXPECT_EQ(std::memcmp(&record, &CpuInfo, sizeof record), 0);
  }
}

// The loop is SSE code: without usable SSE the driver says why in one line and refuses before
// it allocates or pins anything, instead of faulting at the loop's first instruction.
TEST_F(SysInfoTest, WithoutUsableSseTheDriverRefusesInOneLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"pentium2_deschutes", "This processor has no SSE; the stress test needs it"},
      {"edge_p3_sse_off",
       "Windows has not enabled SSE on this processor; the stress test needs it"}};
  for (const auto& [processor, line] : cases) {
    Replay(Processors().at(processor));
    IdentifyCpu(false);
    Capture error(STD_ERROR_HANDLE);
    EXPECT_EQ(RunStress(1), kExitNoSse);
    EXPECT_EQ(Lines(error), std::vector<std::string>{line});
  }
}

// Identification once per processor overwrites the record; the feature flags only rise, and a
// processor that reads no extended leaves leaves the name alone.
TEST_F(SysInfoTest, SecondIdentificationKeepsRaisedFlagsAndName) {
  Replay(Processors().at("pentium4_northwood_ht"));
  ASSERT_TRUE(IdentifyCpu(false));
  Replay(Processors().at("pentium_p54c"));
  ASSERT_TRUE(IdentifyCpu(false));
  EXPECT_EQ(CpuInfo.Family, 5);
  EXPECT_EQ(CpuInfo.Leaf2[0], 0x665B5001u); // leaf 2 is beyond the P54C's highest leaf
  EXPECT_TRUE(CpuInfo.HasMMX && CpuInfo.HasFXSR && CpuInfo.HasSSE);
  EXPECT_STREQ(CpuInfo.Name, "Intel(R) Pentium(R) 4 CPU 3.06GHz");
}

// The start-up asks for the name and the raw leaves only when the system description will show
// them: on a virtual machine each CPUID costs microseconds before the prompt.
TEST_F(SysInfoTest, StartUpReadsTheNameOnlyWhenItIsShown) {
  for (const bool shown : {false, true}) {
    Reset();
    Replay(Processors().at("pentium4_northwood_ht"));
    SetOptions(shown ? std::vector<std::string>{"-~SysInfo"} : std::vector<std::string>{});
    ASSERT_TRUE(IdentifyAllCpus());
    EXPECT_EQ(CpuInfo.Family, 15);
    EXPECT_TRUE(CpuInfo.HasSSE);
    EXPECT_STREQ(CpuInfo.Name, shown ? "Intel(R) Pentium(R) 4 CPU 3.06GHz" : "");
    EXPECT_EQ(CpuInfo.Leaf2[0], shown ? 0x665B5001u : 0u);
  }
}

// Without a recorded processor the seam executes the instructions themselves.
TEST_F(SysInfoTest, TheRealProcessorAnswers) {
  unsigned eax, ebx, ecx, edx;
  __cpuid(0, eax, ebx, ecx, edx);
  ASSERT_TRUE(IdentifyCpu(false));
  const uint32_t vendor[3] = {ebx, edx, ecx};
  EXPECT_EQ(CpuInfo.Leaf0[0], eax);
  EXPECT_STREQ(CpuInfo.VendorName, std::string(reinterpret_cast<const char*>(vendor), 12).c_str());
  EXPECT_TRUE(CpuInfo.HasSSE); // every x86-64 processor and system has SSE
  const uint64_t first = ReadTimeStamp();
  EXPECT_GT(ReadTimeStamp(), first);
  Replay(Processors().at("pentium_p54c"));
  EXPECT_EQ(ReadTimeStamp(), 1000u);
  EXPECT_EQ(ReadTimeStamp(), 2000u);
}

// The probe on the real machine: it must visit every processor of the process, find each one's
// (recorded) APIC id there, and give the process its mask back.
TEST_F(SysInfoTest, ProbeVisitsEveryRealProcessorAndRestoresTheMask) {
  DWORD_PTR process = 0, system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &process, &system));
  const size_t n = static_cast<size_t>(__builtin_popcountll(process));
  if (process != system || n < 2 || n > 32)
    GTEST_SKIP() << "needs a process on all of 2 to 32 processors";
  Processor p = Processors().at("pentium4_northwood_ht");
  p.apicIds.resize(n);
  for (size_t i = 0; i < n; ++i) p.apicIds[i] = static_cast<uint8_t>(i);
  Replay(p, true);
  ASSERT_TRUE(IdentifyCpu(false));
  Capture out(STD_OUTPUT_HANDLE), err(STD_ERROR_HANDLE);
  uint32_t count = 0;
  EXPECT_TRUE(TThread::SMTSupported(&count));
  EXPECT_EQ(Lines(out).size(), n);
  EXPECT_EQ(count, (n + 1) / 2);
  EXPECT_EQ(Lines(err), std::vector<std::string>{"IA32_PhysCPUCount: " + std::to_string(count)});
  DWORD_PTR after = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &after, &system));
  EXPECT_EQ(after, process);
}

// FileTimeToMs shifts below a high word of 16 and divides from there; U64Div must agree with
// the compiler's division everywhere, the top bit of either operand included.
TEST(ProcessTimes, DivisionsMatchTheCompilers) {
  // clang-format off
  const uint64_t values[] = {0, 1, 9999, 10000, 0xFFFFFFFF, 0xFFFFFFFFF, 0x1000000000,
                             0x100000270F, 10000ull << 32, (10000ull << 32) + 10000,
                             0x9ABCDEF012345678, 0x7FFFFFFFFFFFFFFF, 0x8000000000000000,
                             0x8000000000000001, ~0ull - 1, ~0ull};
  // clang-format on
  for (uint64_t a : values) {
    EXPECT_EQ(FileTimeToMs(U64Low(a), U64High(a)), static_cast<uint32_t>(a / 10000))
        << std::hex << a;
    for (uint64_t b : values)
      EXPECT_EQ(U64Div(a, b), b == 0 ? 0 : a / b) << std::hex << a << " / " << b;
  }
}

TEST(ProcessTimes, U64CarriesBorrowsAndComparisons) {
  uint64_t v = U64Make(0xFFFFFFFF, 7);
  U64AddInPlace(&v, 1);
  EXPECT_EQ(v, U64Make(0, 8));
  EXPECT_EQ(U64SetLow(&v, 5), U64Make(5, 8));
  EXPECT_EQ(U64AddU32(1, U64FromU32(0xFFFFFFFF)), U64Make(0, 1));
  EXPECT_EQ(U64Sub(0, 1), ~0ull);
  EXPECT_EQ(U64Sub(U64Make(0, 1), 1), U64FromU32(0xFFFFFFFF));
  EXPECT_FALSE(U64Less(5, 5));
  EXPECT_TRUE(U64LessEqual(5, 5));
  EXPECT_TRUE(U64Less(U64Make(0xFFFFFFFF, 0), U64Make(0, 1)));
}

TEST(GetProcessCpuTimes, AgreesWithTheSystem) {
  FILETIME creation, exit, kernel, user;
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
  const uint64_t userBefore = U64Make(user.dwLowDateTime, user.dwHighDateTime) / 10000;
  uint32_t kernelMs = 0xDEAD;
  const uint32_t userMs = GetProcessCpuTimes(&kernelMs);
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user));
  EXPECT_GE(userMs, userBefore);
  EXPECT_LE(userMs, U64Make(user.dwLowDateTime, user.dwHighDateTime) / 10000);
  EXPECT_LE(kernelMs, U64Make(kernel.dwLowDateTime, kernel.dwHighDateTime) / 10000);
}

#ifndef _WIN32 // the machine, the system's version and its registry are the layer's to change

// Windows 95 has no GetProcessTimes.
TEST(GetProcessCpuTimes, WithoutTheFunctionBothAreZero) {
  for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       GetProcessCpuTimes(nullptr) < 30 && std::chrono::steady_clock::now() < end;) {
  }
  ASSERT_GE(GetProcessCpuTimes(nullptr), 30u); // so that a found function could not answer 0
  RemoveSystemExport("GetProcessTimes");
  uint32_t kernel = 77;
  EXPECT_EQ(GetProcessCpuTimes(&kernel), 0u);
  EXPECT_EQ(kernel, 0u);
  RestoreSystemExports();
}

TEST_F(SysInfoTest, ProbeOnDescribedMachines) {
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
    Capture out(STD_OUTPUT_HANDLE), err(STD_ERROR_HANDLE);
    uint32_t count = 0;
    EXPECT_EQ(TThread::SMTSupported(&count), c->Number("answer") != 0);
    EXPECT_EQ(Lines(out), expected[0]);
    EXPECT_EQ(Lines(err), expected[1]);
    EXPECT_EQ(SmtState.SmtDecided, c->Number("decided") != 0);
    EXPECT_EQ(count, c->Number("count"));
    EXPECT_EQ(winposix::EmulatedProcessMask(), before);
  }
}

TEST_F(SysInfoTest, CountsAndPinningAreDecidedOnce) {
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

// Each machine of machines.txt, in buffers of every size that cuts the line.
TEST_F(SysInfoTest, SystemLineForEachMachine) {
  const std::vector<DataLine> lines = ReadData("machines.txt");
  for (size_t i = 0; i + 1 < lines.size(); i += 2) {
    const DataLine& m = lines[i];
    SCOPED_TRACE(m.where);
    Reset();
    unsigned v[3] = {};
    std::sscanf(m["windows"].c_str(), "%u.%u.%u", &v[0], &v[1], &v[2]);
    const std::string servicePack = m["sp"]; // the layer keeps the pointer
    winposix::SetVersion({v[0], v[1], v[2], m.Number("build"), servicePack.c_str()});
    winposix::SetSystemRecord({.processors = m.Number("processors", 1),
                               .architecture = m.Number("architecture"),
                               .level = m.Number("level", 6)});
    CpuInfo.Valid = true;
    std::snprintf(CpuInfo.Name, sizeof CpuInfo.Name, "%s", m["cpu"].c_str());
    CpuInfo.HasMMX = m["mmx"] != "0";
    CpuInfo.HasSSE = m["sse"] != "0";
    std::vector<std::pair<HKEY, std::string>> keys;
    for (const std::string& key : m.List("keys"))
      keys.push_back({key[2] == 'C' ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, key.substr(5)});
    fakes::InstallRegistry(keys);
    if (m["getversionex"] == "0") RemoveSystemExport("GetVersionExA");
    if (!m["replay"].empty()) Replay(Processors().at(m["replay"]), true);
    for (uint32_t size : {256u, 10u, 1u, 0u}) {
      std::string line(257, 'x');
      Capture out(STD_OUTPUT_HANDLE); // the probe's lines are another test's matter
      const char* end = DescribeSystem(line.data(), size);
      out.Finish();
      EXPECT_EQ(line.substr(0, end - line.data()),
                lines[i + 1].text.substr(0, size == 0 ? 0 : size - 1));
      EXPECT_EQ(*end, size == 0 ? 'x' : 0) << size;
      EXPECT_EQ(line[size], 'x') << size;
    }
    EXPECT_EQ(fakes::OpenKeys(), 0u);
  }
}

TEST_F(SysInfoTest, WineIsDecidedOnceThePreinstallationEnvironmentEveryTime) {
  EXPECT_FALSE(IsWine());
  EXPECT_FALSE(IsMiniNT());
  fakes::InstallRegistry({{HKEY_CURRENT_USER, "software\\wine\\Direct3D"},
                          {HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\MiniNT"}});
  EXPECT_FALSE(IsWine());
  EXPECT_TRUE(IsMiniNT());
  WineCheck = WineCheckRecord{};
  EXPECT_TRUE(IsWine());
  EXPECT_EQ(fakes::OpenKeys(), 0u);
}

#endif

} // namespace

#include "recorded.h"
#include "sysinfo_fixture.h"

#ifndef _WIN32 // the version and system records are the layer's to change

#include <cstdio>
#include <cstring>

namespace {

using sysinfo::Lines;
using sysinfo::Option;
using winposix::RegistryRoot;

constexpr const char* kWineUserKey = "SOFTWARE\\Wine";
constexpr const char* kWineConfigKey = "Software\\Wine\\Wine\\Config";
constexpr const char* kMiniNtKey = "SYSTEM\\CurrentControlSet\\Control\\MiniNT";

uint32_t CurrentProcessor() {
  return GetCurrentProcessorNumber();
}

struct Machine {
  winposix::VersionRecord version = {2, 5, 1, 2600, ""};
  unsigned processors = 1, architecture = 0, level = 6;
  const char* cpuName = "";
  bool mmx = true, sse = true;
  const char* replay = nullptr; // recorded processor for the SMT probe
  std::vector<uint8_t> apicIds = {};
  std::vector<std::pair<RegistryRoot, const char*>> keys = {};
  bool noGetVersionEx = false;
};

class SystemDescriptionTest : public sysinfo::SysInfoTest {
protected:
  // Makes the layer and CpuInfo describe the machine for the lifetime of the returned replay.
  std::unique_ptr<recorded::Replay> Describe(const Machine& m) {
    Reset();
    winposix::SetVersion(m.version);
    winposix::SetSystemRecord(
        {.processors = m.processors, .architecture = m.architecture, .level = m.level});
    CpuInfo.Valid = true;
    snprintf(CpuInfo.Name, sizeof CpuInfo.Name, "%s", m.cpuName);
    CpuInfo.HasMMX = m.mmx;
    CpuInfo.HasSSE = m.sse;
    for (const auto& [root, path] : m.keys) winposix::AddRegistryKey(root, path);
    if (m.noGetVersionEx) RemoveSystemExport("GetVersionExA");
    if (m.replay == nullptr) return nullptr;
    recorded::Processor p = recorded::Named(m.replay);
    if (!m.apicIds.empty()) p.apicIds = m.apicIds;
    return std::make_unique<recorded::Replay>(p, &CurrentProcessor);
  }
};

TEST_F(SystemDescriptionTest, LineForEachMachine) {
  const std::string longName(112, 'N'), longPack(127, 'S');
  struct Case {
    Machine m;
    std::string expected;
  } cases[] = {
      {{.version = {2, 5, 2, 3790, ""}, .level = 15, .cpuName = "NAME"},
       "Windows Server 2003 5.2 (NAME) Build 3790"},
      {{.version = {1, 4, 90, 0x045A0BB8, ""}, .sse = false},
       "Windows ME 4.90 (Pentium II) Build 3000"},
      {{.version = {1, 4, 10, 2222, ""},
        .sse = false,
        .keys = {{RegistryRoot::CurrentUser, kWineUserKey}}},
       "Windows 98 4.10 (Pentium II) Build 2222 [WINE]"},
      {{.version = {1, 4, 0, 950, ""}, .mmx = false, .sse = false},
       "Windows 95 4.0 (Pentium Pro) Build 950"},
      {{.version = {1, 3, 95, 1, ""}}, "Windows 95 3.95 (Pentium III) Build 1"},
      {{.version = {2, 5, 1, 2600, "Service Pack 2"},
        .processors = 4,
        .level = 15,
        .replay = "xeon_dp_ht"},
       "Windows XP 5.1 (2x Pentium 4 Hyper-Threading) Build 2600 [Service Pack 2]"},
      {{.version = {2, 5, 1, 2600, ""},
        .processors = 2,
        .level = 15,
        .replay = "pentium4_northwood_ht"},
       "Windows XP 5.1 (1x Pentium 4 Hyper-Threading) Build 2600"},
      {{.version = {2, 5, 0, 2195, "   "},
        .processors = 2,
        .cpuName = "NAME",
        .replay = "amd_athlon64_x2"},
       "Windows 2000 5.0 (2x NAME) Build 2195"},
      {{.version = {2, 4, 0, 1381, " Service Pack 1"}, .level = 5},
       "Windows NT 4.0 (Pentium) Build 1381 [ Service Pack 1]"},
      {{.version = {2, 6, 0, 6000, ""}, .level = 4}, "Windows Vista 6.0 (i486) Build 6000"},
      {{.version = {2, 6, 1, 7601, ""}, .level = 3}, "Windows Vista 6.1 (i386) Build 7601"},
      {{.version = {2, 10, 0, 19045, ""}, .level = 7}, "Windows XP 10.0 (Intel x86) Build 19045"},
      {{.version = {2, 5, 3, 100, ""}, .architecture = 1, .level = 4000},
       "Windows XP 5.3 (MIPS R4000) Build 100"},
      {{.version = {2, 4, 0, 1381, ""}, .architecture = 2, .level = 21164},
       "Windows NT 4.0 (Alpha 21164) Build 1381"},
      {{.version = {2, 4, 0, 1381, ""}, .architecture = 2, .level = 7},
       "Windows NT 4.0 (Alpha) Build 1381"},
      {{.version = {2, 3, 51, 1057, ""}, .architecture = 3},
       "Windows NT 3.51 (PowerPC) Build 1057"},
      {{.version = {2, 5, 2, 3790, ""}, .architecture = 10},
       "Windows Server 2003 5.2 (IA-32/64) Build 3790"},
      {{.version = {2, 5, 2, 3790, ""}, .architecture = 9}, "Windows Server 2003 5.2 Build 3790"},
      {{.version = {0, 1, 30, 172, "x"}, .cpuName = "NAME"}, "Win32s 1.30 Build 172 [x]"},
      {{.version = {3, 6, 0, 100, ""}, .cpuName = "NAME"}, "??? 6.0 Build 100"},
      {{.version = {2, 4, 0, 1381, "SP6"}, .noGetVersionEx = true}, "Windows NT 4.0"},
      {{.version = {2, 5, 0, 2195, ""}, .noGetVersionEx = true}, "Windows 2000 5.0"},
      {{.version = {1, 4, 90, 3000, ""}, .noGetVersionEx = true}, "Windows ME 4.90"},
      {{.version = {1, 4, 10, 2222, ""}, .noGetVersionEx = true}, "Windows 98 4.10"},
      {{.version = {1, 4, 0, 950, ""},
        .keys = {{RegistryRoot::LocalMachine, kMiniNtKey}},
        .noGetVersionEx = true},
       "Windows 95 4.0 [PE]"},
      {{.version = {2, 5, 1, 2600, ""},
        .keys = {{RegistryRoot::LocalMachine, kWineConfigKey},
                 {RegistryRoot::LocalMachine, kMiniNtKey}}},
       "Windows XP 5.1 (Pentium III) Build 2600 [WINE] [PE]"},
      // Everything beyond 255 characters is cut, the registry marks included.
      {{.version = {2, 5, 2, 65535, longPack.c_str()},
        .cpuName = longName.c_str(),
        .keys = {{RegistryRoot::CurrentUser, kWineUserKey}}},
       ("Windows Server 2003 5.2 (" + longName + ") Build 65535 [" + longPack).substr(0, 255)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    auto replay = Describe(c.m);
    char line[256];
    std::memset(line, 'x', sizeof line);
    Lines out(STD_OUTPUT_HANDLE); // the probe's lines are another test's matter
    const char* end = DescribeSystem(line, sizeof line);
    out.Finish();
    EXPECT_EQ(std::string(line), c.expected);
    EXPECT_EQ(end, line + std::strlen(line));
    EXPECT_EQ(winposix::OpenRegistryKeys(), 0u);
  }
}

TEST_F(SystemDescriptionTest, CallerBufferBoundsTheLine) {
  auto replay = Describe({.version = {2, 5, 2, 3790, ""}, .level = 15, .cpuName = "NAME"});
  char line[16];
  for (uint32_t size : {0u, 1u, 10u}) {
    std::memset(line, 'x', sizeof line);
    const char* end = DescribeSystem(line, size);
    EXPECT_EQ(end, line + (size == 0 ? 0 : size - 1)) << size;
    if (size != 0) {
      EXPECT_EQ(std::string(line), std::string("Windows Server 2003").substr(0, size - 1));
    }
    EXPECT_EQ(line[size], 'x') << size;
  }
}

TEST_F(SystemDescriptionTest, WineIsDecidedOnceThePreinstallationEnvironmentEveryTime) {
  EXPECT_FALSE(IsWine());
  EXPECT_FALSE(IsMiniNT());
  winposix::AddRegistryKey(RegistryRoot::CurrentUser, "software\\wine\\Direct3D");
  winposix::AddRegistryKey(RegistryRoot::LocalMachine, kMiniNtKey);
  EXPECT_FALSE(IsWine());
  EXPECT_TRUE(IsMiniNT());
  WineCheck = WineCheckRecord{};
  EXPECT_TRUE(IsWine());
  EXPECT_EQ(winposix::OpenRegistryKeys(), 0u);
}

TEST_F(SystemDescriptionTest, TheOptionShowsTheLineAsATraceLine) {
  auto replay = Describe({.version = {2, 5, 2, 3790, "SP2"}, .level = 15, .cpuName = "NAME"});
  for (bool wanted : {false, true}) {
    SetOptions({wanted ? Option(kOptSysInfo) : "-~Other"});
    Lines err(STD_ERROR_HANDLE);
    ShowSystemDescription();
    const std::vector<std::string> expected = {"Windows Server 2003 5.2 (NAME) Build 3790 [SP2]"};
    EXPECT_EQ(err.Finish(), wanted ? expected : std::vector<std::string>{});
  }
}

// On Linux the layer reports the NT family under the newest name the runtime knows, with the
// host's system and release where the service pack would be.
TEST_F(SystemDescriptionTest, HostDefaultsNameLinux) {
  OSVERSIONINFOA info = {};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ(std::string(info.szCSDVersion).rfind("Linux ", 0), 0u) << info.szCSDVersion;
  char line[256];
  DescribeSystem(line, sizeof line);
  EXPECT_EQ(std::string(line),
            "Windows XP 5.1 Build 2600 [" + std::string(info.szCSDVersion) + "]");
}

TEST(EmulatedRegistry, KeysOpenWithTheirParentsAndCloseOnce) {
  ResetLayer();
  winposix::AddRegistryKey(RegistryRoot::LocalMachine, "A\\B\\C");
  struct Case {
    HKEY root;
    const char* path;
    LONG result;
  } cases[] = {
      {HKEY_LOCAL_MACHINE, "a\\b\\c", ERROR_SUCCESS},
      {HKEY_LOCAL_MACHINE, "A\\B", ERROR_SUCCESS},
      {HKEY_LOCAL_MACHINE, "A", ERROR_SUCCESS},
      {HKEY_LOCAL_MACHINE, "", ERROR_SUCCESS},
      {HKEY_LOCAL_MACHINE, "A\\B\\C\\D", ERROR_FILE_NOT_FOUND},
      {HKEY_LOCAL_MACHINE, "A\\C", ERROR_FILE_NOT_FOUND},
      {HKEY_CURRENT_USER, "A", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(c.root, c.path, 0, KEY_QUERY_VALUE, &key), c.result) << c.path;
    if (c.result != ERROR_SUCCESS) continue;
    EXPECT_EQ(winposix::OpenRegistryKeys(), 1u);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_NE(RegCloseKey(key), ERROR_SUCCESS);
  }
  EXPECT_EQ(winposix::OpenRegistryKeys(), 0u);
  ResetLayer();
}

} // namespace

#endif

#include "sysinfo_fixture.h"

#ifndef _WIN32 // the version and system records are the layer's to change

#include "tests/support/fakes.h"

#include <cstdio>
#include <cstring>

namespace {

using namespace sysinfo;

class SystemDescriptionTest : public SysInfoTest {
protected:
  // Makes the layer and CpuInfo describe the machine of a "windows" line of machines.txt.
  void Describe(const DataLine& m) {
    Reset();
    unsigned v[3] = {};
    std::sscanf(m["windows"].c_str(), "%u.%u.%u", &v[0], &v[1], &v[2]);
    servicePack_ = m["sp"]; // the layer keeps the pointer
    winposix::SetVersion({v[0], v[1], v[2], m.Number("build"), servicePack_.c_str()});
    winposix::SetSystemRecord({.processors = m.Number("processors", 1),
                               .architecture = m.Number("architecture"),
                               .level = m.Number("level", 6)});
    CpuInfo.Valid = true;
    std::snprintf(CpuInfo.Name, sizeof CpuInfo.Name, "%s", m["cpu"].c_str());
    CpuInfo.HasMMX = m["mmx"] != "0";
    CpuInfo.HasSSE = m["sse"] != "0";
    std::vector<std::pair<HKEY, std::string>> keys;
    for (const std::string& key : m.List("keys"))
      keys.push_back(
          {key.rfind("HKCU\\", 0) == 0 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, key.substr(5)});
    fakes::InstallRegistry(keys);
    if (m["getversionex"] == "0") RemoveSystemExport("GetVersionExA");
    if (!m["replay"].empty()) Replay(Processors().at(m["replay"]), true);
  }
  std::string servicePack_;
};

// Each machine of machines.txt, in buffers of every size that cuts the line.
TEST_F(SystemDescriptionTest, LineForEachMachine) {
  const std::vector<DataLine> lines = ReadData("machines.txt");
  for (size_t i = 0; i + 1 < lines.size(); i += 2) {
    SCOPED_TRACE(lines[i].where);
    Describe(lines[i]);
    for (uint32_t size : {256u, 10u, 1u, 0u}) {
      char line[257];
      std::memset(line, 'x', sizeof line);
      Lines out(STD_OUTPUT_HANDLE); // the probe's lines are another test's matter
      const char* end = DescribeSystem(line, size);
      out.Finish();
      EXPECT_EQ(std::string(line, end - line),
                lines[i + 1].text.substr(0, size == 0 ? 0 : size - 1));
      EXPECT_EQ(*end, size == 0 ? 'x' : 0) << size;
      EXPECT_EQ(line[size], 'x') << size;
    }
    EXPECT_EQ(fakes::OpenKeys(), 0u);
  }
}

TEST_F(SystemDescriptionTest, WineIsDecidedOnceThePreinstallationEnvironmentEveryTime) {
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

} // namespace

#endif

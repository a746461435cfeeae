// The data files beside this header (recorded processors, described machines), fresh
// identification state for every test, and the console lines the code under test writes.
#pragma once

#include "runtime/platform/thread.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/sysinfo/cpu_info.h"
#include "runtime/sysinfo/processor.h"
#include "runtime/sysinfo/smt.h"
#include "runtime/sysinfo/system_description.h"
#include "tests/support/std_capture.h"
#ifndef _WIN32
#include "tests/support/system_exports.h"
#endif

#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>

namespace sysinfo {

// A file beside this header.
inline std::string DataPath(const std::string& name) {
  const std::string self = __FILE__;
  return self.substr(0, self.find_last_of("/\\") + 1) + name;
}

inline std::string ReadFile(const std::string& name) {
  std::ifstream file(DataPath(name), std::ios::binary);
  EXPECT_TRUE(file) << "cannot read " << name;
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A line of a data file: its first word, the text behind it, and the whole line read as
// "key value" pairs (a value with blanks in quotes); "where" names the file and line.
struct DataLine {
  std::string where, kind, text;
  std::map<std::string, std::string> pairs;
  std::string operator[](const std::string& key) const {
    return pairs.count(key) ? pairs.at(key) : "";
  }
  uint32_t Number(const std::string& key, uint32_t absent = 0) const {
    return pairs.count(key) ? static_cast<uint32_t>(std::stoul(pairs.at(key), nullptr, 0)) : absent;
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

// The lines of a data file beside this header, without blank lines and comments.
inline std::vector<DataLine> ReadData(const std::string& name) {
  std::istringstream file(ReadFile(name));
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

// processors.txt (described there), by name.
inline const std::map<std::string, Processor>& Processors() {
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
      RecordedLeaf leaf = {
          static_cast<uint32_t>(std::stoul(line.kind, nullptr, 16)), 0, 0, 0, 0, 0};
      std::istringstream(line.text) >> std::hex >> leaf.Eax >> leaf.Ebx >> leaf.Ecx >> leaf.Edx;
      p->leaves.push_back(leaf);
    }
    return all;
  }();
  return processors;
}

// Where the calling thread runs, as the system says: the layer answers for the machine a test
// describes, Windows for the real one.
inline uint32_t CurrentProcessor() {
  return GetCurrentProcessorNumber();
}

// The lines of everything written to a standard handle while the object lives.
class Lines : Capture {
public:
  explicit Lines(DWORD which) : Capture(which) {}
  std::vector<std::string> Finish() {
    std::string all;
    for (const std::string& write : Capture::Finish()) all += write;
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2)
      lines.push_back(all.substr(start, end - start));
    if (start < all.size()) lines.push_back(all.substr(start) + "<unterminated>");
    return lines;
  }
};

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

  // The option list holds exactly these texts.
  void SetOptions(std::vector<std::string> options) {
    options_ = std::move(options);
    RuntimeState.OptionCount = static_cast<uint32_t>(options_.size());
    for (size_t i = 0; i < options_.size(); ++i) RuntimeState.OptionList[i] = options_[i].data();
  }

  // The processor answers CPUID (placed: APIC ids by the caller's processor) until the test
  // ends or another one is replayed.
  void Replay(const Processor& p, bool placed = false) {
    replayed_ = p;
    seam_ = {replayed_.leaves.data(),
             static_cast<uint32_t>(replayed_.leaves.size()),
             replayed_.noCpuId,
             replayed_.sseOff,
             replayed_.apicIds.data(),
             static_cast<uint32_t>(replayed_.apicIds.size()),
             placed ? &CurrentProcessor : nullptr,
             1000};
    ReplayProcessor(&seam_);
  }

private:
  std::vector<std::string> options_;
  Processor replayed_ = {};
  RecordedProcessor seam_ = {};
};

} // namespace sysinfo

// Fresh identification state for every test, runtime options set by the test, and the console
// lines the code under test writes.
#pragma once

#include "runtime/memory/memory.h"
#include "runtime/platform/thread.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/sysinfo/cpu_info.h"
#include "runtime/sysinfo/processor.h"
#include "runtime/sysinfo/smt.h"
#include "runtime/sysinfo/system_description.h"
#include "tests/support/std_capture.h"
#include "winposix/win32.h"
#ifndef _WIN32
#include "tests/support/system_exports.h"
#include "winposix/testctl.h"
#endif

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace sysinfo {

// "-~" and the plain text of a scrambled option name, with ":value" when one is given.
template <size_t N> std::string Option(const ScrambledName<N>& name, const char* value = nullptr) {
  std::string text = "-~" + std::string(PlainName<N>(name).text);
  if (value != nullptr) text += std::string(":") + value;
  return text;
}

// The lines of everything written to a standard handle while the object lives.
class Lines {
public:
  explicit Lines(DWORD which) : capture_(std::make_unique<Capture>(which)) {}
  std::vector<std::string> Finish() {
    std::string all;
    for (const std::string& write : capture_->Finish()) all += write;
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2)
      lines.push_back(all.substr(start, end - start));
    if (start < all.size()) lines.push_back(all.substr(start) + "<unterminated>");
    return lines;
  }

private:
  std::unique_ptr<Capture> capture_;
};

class SysInfoTest : public ::testing::Test {
protected:
  void SetUp() override { Reset(); }
  void TearDown() override {
    ReplayProcessor(nullptr);
    Reset();
  }

  void Reset() {
    RuntimeState.ModuleBase = GetModuleHandleA(nullptr);
    RuntimeState.OptionCount = 0;
    options_.clear();
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

private:
  std::vector<std::string> options_;
};

} // namespace sysinfo

// The console-window option's value grammar, "[*monitor,]columns,rows" with "max", through
// SetUpConsoleWindow. A value the model rejects must change nothing, and the console is there to
// be changed; a value the model accepts meets a missing standard output, so the run stops right
// behind the parser instead of waiting for the window.
//
// Input: the option's value.
#include "fuzz/fuzz_support.h"
#include "runtime/startup/console_window.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/text/numbers.h"
#include "runtime/text/scramble.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

// The fields as the 40-byte field buffer holds them: cut to 39 characters, then trimmed.
std::vector<std::string> Fields(const std::string& value) {
  std::vector<std::string> fields;
  size_t at = 0;
  do {
    const size_t comma = value.find(',', at);
    std::string field =
        value.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? value.size() + 1 : comma + 1;
    const size_t begin = field.find_first_not_of(" \t");
    field = begin == std::string::npos ? "" : field.substr(begin);
    field.resize(std::min<size_t>(field.size(), 39));
    const size_t end = field.find_last_not_of(" \t");
    fields.push_back(end == std::string::npos ? "" : field.substr(0, end + 1));
  } while (at <= value.size());
  return fields;
}

bool WholeNumber(const std::string& text, uint32_t* value) {
  bool complete = false;
  *value = static_cast<uint32_t>(ParseUnsigned(text.c_str(), &complete));
  return complete;
}

bool Count(const std::string& field, uint32_t minimum, bool* max) {
  uint32_t n;
  *max = field == "max";
  return *max || (WholeNumber(field, &n) && n >= minimum);
}

bool Accepted(const std::string& value) {
  if (value.empty()) return false;
  const std::vector<std::string> fields = Fields(value);
  size_t i = 0;
  uint32_t monitor;
  if (!fields[0].empty() && fields[0][0] == '*') {
    if (!WholeNumber(fields[0].substr(1), &monitor)) return false;
    ++i;
  }
  bool maxColumns, maxRows;
  if (i >= fields.size() || fields[i].empty() || !Count(fields[i], 5, &maxColumns)) return false;
  ++i;
  if (i >= fields.size() || fields[i].empty()) return maxColumns;
  return Count(fields[i], 2, &maxRows);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Prepare();
  static void* const output = GetStdHandle(STD_OUTPUT_HANDLE);
  std::string value(reinterpret_cast<const char*>(data), size);
  value = value.c_str();
  RuntimeStateRecord& s = RuntimeState;
  s.ModuleBase = GetModuleHandleA(nullptr); // a console program
  const std::string option = "-~" + std::string(PlainName(kOptConsoleWindow)) + ":" + value;
  s.OptionList[0] = static_cast<char*>(AllocMem(static_cast<uint32_t>(option.size() + 1)));
  std::memcpy(s.OptionList[0], option.c_str(), option.size() + 1);
  s.OptionCount = 1;

  const bool accepted = Accepted(value);
  if (accepted) SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
  const size_t before = winposix::RecordedConsoleCalls().size();
  SetUpConsoleWindow();
  const size_t after = winposix::RecordedConsoleCalls().size();
  SetStdHandle(STD_OUTPUT_HANDLE, output);

  FreeMem(s.OptionList[0]);
  s.OptionList[0] = nullptr;
  s.OptionCount = 0;
  if (after != before) fuzz::Fail();
  return 0;
}

#include "runtime/diag/console.h"
#include "tests/support/std_capture.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include "winposix/testctl.h"
#endif

namespace {

std::string Pattern(size_t n) {
  std::string text(n, ' ');
  for (size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + i % 23);
  return text;
}

std::vector<std::string> hooked;
void RecordCopy(const char* text) {
  hooked.emplace_back(text);
}

TEST(Console, LongTextsGoOutIn8192BytePieces) {
  struct Case {
    size_t length;
    std::vector<size_t> writes;
  } cases[] = {
      {1, {1}},
      {8191, {8191}},
      {8192, {8192}},
      {8193, {8192, 1}},
      {20000, {8192, 8192, 3616}},
      {32766, {8192, 8192, 8192, 8190}},
      {40000, {8192, 8192, 8192, 8190}}, // the print buffer holds 32766 characters
  };
  for (bool toError : {false, true}) {
    for (const Case& c : cases) {
      const std::string text = Pattern(c.length);
      const std::string what = (toError ? "error " : "output ") + std::to_string(c.length);
      hooked.clear();
      StdOutCopyHook = toError ? nullptr : RecordCopy;
      StdErrCopyHook = toError ? RecordCopy : nullptr;
      Capture capture(toError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
      if (toError) {
        PrintError("%s", text.c_str());
      } else {
        PrintMessage("%s", text.c_str());
      }
      const std::vector<std::string> writes = capture.Finish();
      StdOutCopyHook = StdErrCopyHook = nullptr;

      std::string joined;
      std::vector<size_t> sizes;
      for (const std::string& w : writes) {
        joined += w;
        sizes.push_back(w.size());
      }
      EXPECT_EQ(sizes, c.writes) << what;
      const std::string printed = text.substr(0, 32766);
      EXPECT_EQ(joined, printed) << what;
      // The hook sees the whole text once, not its pieces.
      ASSERT_EQ(hooked.size(), 1u) << what;
      EXPECT_EQ(hooked[0], printed) << what;
    }
  }
}

TEST(Console, WritesFormattedLinesWithCrLf) {
  Capture out(STD_OUTPUT_HANDLE);
  PrintMessage("%s: %u\n", "Count", 42u);
  PutStdOut("put\n");
  PutStdOut(nullptr);
  WriteStdOut("raw");
  WriteStdOut(nullptr);
  const std::string big = Pattern(9000);
  WriteStdOut(big.c_str()); // no pieces without the writer in front
  EXPECT_EQ(out.Finish(), (std::vector<std::string>{"Count: 42\r\n", "put\n", "raw", big}));

  Capture err(STD_ERROR_HANDLE);
  PrintError("%d%%\n", -5);
  WriteStdErr("e");
  EXPECT_EQ(err.Finish(), (std::vector<std::string>{"-5%\r\n", "e"}));
}

#ifndef _WIN32
// Before the memory manager starts it hands out page reservations, so a failing VirtualAlloc is
// a failing print buffer: nothing is printed.
TEST(Console, NothingWithoutAPrintBuffer) {
  Capture out(STD_OUTPUT_HANDLE);
  winposix::FailNth(winposix::FailPoint::VirtualAlloc, 1, true);
  PrintMessage("lost\n");
  winposix::ClearFailures();
  PrintMessage("kept\n");
  EXPECT_EQ(out.Finish(), (std::vector<std::string>{"kept\r\n"}));
}
#endif

} // namespace

#include "runtime/diag/console.h"
#include "tests/support/std_capture.h"
#ifndef _WIN32
#include "winposix/testctl.h"
#endif

namespace {

std::string Pattern(size_t n) {
  std::string text(n, ' ');
  for (size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + i % 23);
  return text;
}

std::vector<std::string> copied;

// The print buffer holds 32766 characters; the copy hook sees the text once, not its pieces.
TEST(Console, LongTextsGoOutIn8192BytePieces) {
  const std::pair<size_t, std::vector<size_t>> cases[] = {{1, {1}},
                                                          {8191, {8191}},
                                                          {8192, {8192}},
                                                          {8193, {8192, 1}},
                                                          {20000, {8192, 8192, 3616}},
                                                          {32766, {8192, 8192, 8192, 8190}},
                                                          {40000, {8192, 8192, 8192, 8190}}};
  for (bool out : {true, false})
    for (const auto& [length, writes] : cases) {
      const std::string text = Pattern(length), printed = text.substr(0, 32766);
      copied.clear();
      (out ? StdOutCopyHook : StdErrCopyHook) = [](const char* t) { copied.emplace_back(t); };
      Capture capture(out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
      (out ? PrintMessage : PrintError)("%s", text.c_str());
      std::string joined;
      std::vector<size_t> sizes;
      for (const std::string& w : capture.Finish()) joined += w, sizes.push_back(w.size());
      StdOutCopyHook = StdErrCopyHook = nullptr;
      EXPECT_EQ(sizes, writes) << out << " " << length;
      EXPECT_EQ(joined, printed) << out << " " << length;
      EXPECT_EQ(copied, std::vector<std::string>{printed}) << out << " " << length;
    }
}

TEST(Console, WritesFormattedLinesWithCrLf) {
  const std::string big = Pattern(9000);
  Capture out(STD_OUTPUT_HANDLE), err(STD_ERROR_HANDLE);
#ifndef _WIN32
  // The memory manager is not started: the print buffer is a page reservation, and without it
  // nothing is printed.
  winposix::FailNth(winposix::FailPoint::VirtualAlloc, 1, true);
  PrintMessage("lost\n");
  winposix::ClearFailures();
#endif
  PrintMessage("%s: %u\n", "Count", 42u);
  PutStdOut("put\n");
  PutStdOut(nullptr);
  WriteStdOut("raw");
  WriteStdOut(nullptr);
  WriteStdOut(big.c_str()); // no pieces without the writer in front
  PrintError("%d%%\n", -5);
  PutStdErr("e\n");
  WriteStdErr("e");
  EXPECT_EQ(out.Finish(), (std::vector<std::string>{"Count: 42\r\n", "put\n", "raw", big}));
  EXPECT_EQ(err.Finish(), (std::vector<std::string>{"-5%\r\n", "e\n", "e"}));
}

} // namespace

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
  const struct {
    size_t length;
    std::vector<size_t> writes;
  } cases[] = {{1, {1}},
               {8191, {8191}},
               {8192, {8192}},
               {8193, {8192, 1}},
               {20000, {8192, 8192, 3616}},
               {32766, {8192, 8192, 8192, 8190}},
               {40000, {8192, 8192, 8192, 8190}}};
  for (DWORD handle : {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    for (const auto& c : cases) {
      const std::string text = Pattern(c.length), printed = text.substr(0, 32766);
      copied.clear();
      auto hook = [](const char* t) { copied.emplace_back(t); };
      (handle == STD_OUTPUT_HANDLE ? StdOutCopyHook : StdErrCopyHook) = hook;
      Capture capture(handle);
      if (handle == STD_OUTPUT_HANDLE)
        PrintMessage("%s", text.c_str());
      else
        PrintError("%s", text.c_str());
      std::string joined;
      std::vector<size_t> sizes;
      for (const std::string& w : capture.Finish()) joined += w, sizes.push_back(w.size());
      StdOutCopyHook = StdErrCopyHook = nullptr;
      EXPECT_EQ(sizes, c.writes) << handle << " " << c.length;
      EXPECT_EQ(joined, printed) << handle << " " << c.length;
      EXPECT_EQ(copied, std::vector<std::string>{printed}) << handle << " " << c.length;
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

// The writers rest on WriteFile writing everything, also far more than a pipe holds, returning
// only once the reader has taken it all. (A pipe without a reader: tests/e2e/environment_e2e.py.)
TEST(Console, WriteFileToAPipeWritesEverything) {
  HANDLE readEnd, writeEnd;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  const std::string text = Pattern(300000);
  std::string received;
  std::thread reader([&] {
    char buffer[5000];
    DWORD got;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr)) received.append(buffer, got);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  });
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(writeEnd, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
  EXPECT_EQ(written, text.size());
  CloseHandle(writeEnd);
  reader.join();
  EXPECT_EQ(received, text);
  CloseHandle(readEnd);
}

} // namespace

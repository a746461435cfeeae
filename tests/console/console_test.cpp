#include "runtime/text/console.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <cstdio>
#else
#include "winposix/testctl.h"
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// Takes over one standard handle with a channel that keeps the bounds of every write, so a test
// sees each WriteFile as one message: a message-mode named pipe on Windows, a sequenced-packet
// socket on the layer.
class Capture {
public:
  explicit Capture(DWORD which) : which_(which), saved_(GetStdHandle(which)) {
#ifdef _WIN32
    char name[64];
    static int serial;
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\calvisto-console-%lu-%d", GetCurrentProcessId(),
                  ++serial);
    HANDLE server =
        CreateNamedPipeA(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1,
                         0x10000, 0x10000, 0, nullptr);
    writer_ = CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    reader_ = std::thread([this, server] {
      std::vector<char> buffer(0x10000);
      DWORD got;
      while (ReadFile(server, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
        messages_.emplace_back(buffer.data(), got);
      CloseHandle(server);
    });
#else
    int ends[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
    writer_ = winposix::DescriptorHandle(ends[1]);
    reader_ = std::thread([this, fd = ends[0]] {
      std::vector<char> buffer(0x10000);
      ssize_t got;
      while ((got = recv(fd, buffer.data(), buffer.size(), 0)) > 0)
        messages_.emplace_back(buffer.data(), static_cast<size_t>(got));
      close(fd);
    });
#endif
    SetStdHandle(which, writer_);
  }

  // Every write, in order, once the handle is given back and the channel closed.
  std::vector<std::string> Finish() {
    SetStdHandle(which_, saved_);
    CloseHandle(writer_);
    reader_.join();
    return messages_;
  }

private:
  DWORD which_;
  HANDLE saved_;
  HANDLE writer_;
  std::thread reader_;
  std::vector<std::string> messages_;
};

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

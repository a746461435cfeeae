// The key wait against a real terminal: a pseudo-terminal becomes the controlling terminal of a
// child process, whose "CONIN$" it then is, and the test types into it.
#ifndef _WIN32
#include "runtime/startup/exit_callbacks.h"
#include "runtime/platform/file_basics.h"
#include "runtime/startup/exit.h"
#include "winposix/testctl.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

class Terminal {
public:
  Terminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    grantpt(master_);
    unlockpt(master_);
    name_ = ptsname(master_);
    slave_ = open(name_.c_str(), O_RDWR | O_NOCTTY); // keeps the settings between children
  }
  ~Terminal() {
    close(slave_);
    close(master_);
  }

  // Without ICANON, bytes typed before the child's read are kept as they came.
  void SetLocalFlags(tcflag_t flags) {
    termios t;
    tcgetattr(slave_, &t);
    t.c_lflag = flags;
    if (!(flags & ICANON)) t.c_iflag &= ~tcflag_t(ICRNL | IXON);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(slave_, TCSANOW, &t);
  }
  tcflag_t LocalFlags() {
    termios t;
    tcgetattr(slave_, &t);
    return t.c_lflag;
  }

  // Runs body in a child of its own session - with this terminal as its controlling terminal
  // when attach is true - types once the child is about to run body, and returns the child's
  // wait status; *report receives what body returned.
  int Run(const std::function<std::string()>& body, const std::string& typed, std::string* report,
          bool attach = true) {
    int ready[2], out[2];
    EXPECT_EQ(pipe(ready), 0);
    EXPECT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      alarm(10); // a wait that never ends fails the test instead of hanging it
      setsid();
      if (attach) ioctl(open(name_.c_str(), O_RDWR), TIOCSCTTY, 0);
      if (write(ready[1], "r", 1) != 1) _exit(99);
      const std::string result = body();
      if (write(out[1], result.data(), result.size()) < 0) _exit(99);
      _exit(0);
    }
    close(ready[1]);
    close(out[1]);
    char r;
    EXPECT_EQ(read(ready[0], &r, 1), 1);
    usleep(100000);
    if (!typed.empty()) {
      EXPECT_EQ(write(master_, typed.data(), typed.size()), ssize_t(typed.size()));
    }
    report->clear();
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) report->append(buffer, n);
    close(ready[0]);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
  }

private:
  int master_ = -1, slave_ = -1;
  std::string name_;
};

std::string Keys(int count) {
  std::string keys;
  for (int i = 0; i < count; ++i) keys += WaitForKey();
  return keys;
}

TEST(WaitForKey, ReturnsTheFirstPressedCharacter) {
  struct Case {
    const char* typed;
    int waits;
    std::string keys;
  } cases[] = {
      {"x", 1, "x"},
      {"\x1b[Aq", 1, "q"},                  // an arrow has no character
      {"\x1bOP\x1b[15~\x1b[1;5Cz", 1, "z"}, // F1, F5, Ctrl+Right
      {"ab", 2, "ab"},                      // the release of a comes between
      {"\r\x7f", 2, "\r\b"},                // Enter, Backspace
      {"\x1b", 1, "\x1b"},                  // Escape alone
      {"\x1bx", 1, "x"},                    // Alt+x
      {"\x1b[1;2P\x1b[Z", 1, "\t"},         // Shift+F1, Shift+Tab
  };
  Terminal terminal;
  terminal.SetLocalFlags(ISIG);
  for (const Case& c : cases) {
    std::string keys;
    const int status = terminal.Run([&] { return Keys(c.waits); }, c.typed, &keys);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(keys, c.keys) << c.typed;
  }
}

TEST(WaitForKey, NoTerminalGivesZeroAtOnce) {
  Terminal terminal;
  std::string keys;
  terminal.Run([] { return Keys(1); }, "", &keys, false);
  EXPECT_EQ(keys, std::string(1, '\0'));
}

TEST(WaitForKey, CtrlCEndsTheProcessAndTheTerminalIsRestored) {
  Terminal terminal;
  terminal.SetLocalFlags(ICANON | ECHO | ISIG);
  std::string keys;
  const int status = terminal.Run([] { return Keys(1); }, "\x03", &keys);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_EQ(terminal.LocalFlags() & (ICANON | ECHO | ISIG), tcflag_t(ICANON | ECHO | ISIG));
}

TEST(ConsoleInputHandle, RetriesAfterAFailureKeepsItsHandleAndClosesAtExit) {
  Terminal terminal;
  std::string report;
  terminal.Run(
      [] {
        std::string r;
        winposix::FailNth(winposix::FailPoint::CreateFileA, 1);
        r += ConsoleInputHandle() == nullptr ? 'n' : '-';
        void* handle = ConsoleInputHandle();
        r += handle != nullptr ? 'h' : '-';
        r += ConsoleInputHandle() == handle ? 's' : '-';
        RunExitCallbacks();
        r += CloseHandle(handle) ? '-' : 'c'; // already closed
        return r;
      },
      "", &report);
  EXPECT_EQ(report, "nhsc");
}

} // namespace
#endif

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
#include <tuple>
#include <unistd.h>

namespace {

// Runs body in a child of its own session - with a new terminal as its controlling terminal
// when attach is true, set to the local flags given - types once the child is about to run body,
// and returns the child's wait status; *report receives what body returned, *after the local
// flags the child left.
int OnTerminal(const std::function<std::string()>& body, const std::string& typed,
               std::string* report, tcflag_t flags, bool attach, tcflag_t* after) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  grantpt(master);
  unlockpt(master);
  const std::string name = ptsname(master);
  const int slave = open(name.c_str(), O_RDWR | O_NOCTTY); // keeps the settings after the child
  termios t;
  tcgetattr(slave, &t);
  t.c_lflag = flags;
  if (!(flags & ICANON)) t.c_iflag &= ~tcflag_t(ICRNL | IXON); // bytes kept as they came
  tcsetattr(slave, TCSANOW, &t);
  int ready[2], out[2];
  EXPECT_EQ(pipe(ready) | pipe(out), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(10); // a wait that never ends fails the test instead of hanging it
    setsid();
    if (attach) ioctl(open(name.c_str(), O_RDWR), TIOCSCTTY, 0);
    const std::string result = write(ready[1], "r", 1) == 1 ? body() : "";
    _exit(write(out[1], result.data(), result.size()) < 0 ? 99 : 0);
  }
  close(ready[1]);
  close(out[1]);
  char r;
  EXPECT_EQ(read(ready[0], &r, 1), 1);
  usleep(100000);
  EXPECT_EQ(write(master, typed.data(), typed.size()), ssize_t(typed.size()));
  report->clear();
  char buffer[256];
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) report->append(buffer, n);
  int status = 0;
  waitpid(pid, &status, 0);
  tcgetattr(slave, &t);
  *after = t.c_lflag;
  for (int fd : {ready[0], out[0], slave, master}) close(fd);
  return status;
}

std::string Keys(int count) {
  std::string keys;
  for (int i = 0; i < count; ++i) keys += WaitForKey();
  return keys;
}

// Ctrl+C ends the process by its signal; every wait leaves the terminal as it found it.
TEST(WaitForKey, ReturnsTheFirstPressedCharacter) {
  const tcflag_t cooked = ICANON | ECHO | ISIG;
  // Typed, the terminal's local flags, whether it is the controlling one, waits, keys.
  const std::tuple<const char*, tcflag_t, bool, int, std::string> cases[] = {
      {"x", ISIG, true, 1, "x"},
      {"\x1b[Aq", ISIG, true, 1, "q"},                  // an arrow has no character
      {"\x1bOP\x1b[15~\x1b[1;5Cz", ISIG, true, 1, "z"}, // F1, F5, Ctrl+Right
      {"ab", ISIG, true, 2, "ab"},                      // the release of a comes between
      {"\r\x7f", ISIG, true, 2, "\r\b"},                // Enter, Backspace
      {"\x1b", ISIG, true, 1, "\x1b"},                  // Escape alone
      {"\x1bx", ISIG, true, 1, "x"},                    // Alt+x
      {"\x1b[1;2P\x1b[Z", ISIG, true, 1, "\t"},         // Shift+F1, Shift+Tab
      {"", ISIG, false, 1, std::string(1, '\0')},       // no terminal: at once
      {"\x03", cooked, true, 1, ""}};
  for (const auto& [typed, flags, attach, waits, keys] : cases) {
    std::string got;
    tcflag_t after = 0;
    const int status = OnTerminal([&] { return Keys(waits); }, typed, &got, flags, attach, &after);
    EXPECT_TRUE(typed[0] == 3 ? WIFSIGNALED(status) && WTERMSIG(status) == SIGINT
                              : WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << status;
    EXPECT_EQ(got, keys) << typed;
    EXPECT_EQ(after & cooked, flags);
  }
}

TEST(ConsoleInputHandle, RetriesAfterAFailureKeepsItsHandleAndClosesAtExit) {
  std::string report;
  tcflag_t flags;
  OnTerminal(
      [] {
        winposix::FailNth(winposix::FailPoint::CreateFileA, 1);
        std::string r(1, ConsoleInputHandle() == nullptr ? 'n' : '-');
        void* handle = ConsoleInputHandle();
        r += handle != nullptr ? 'h' : '-';
        r += ConsoleInputHandle() == handle ? 's' : '-';
        RunExitCallbacks();
        return r + (CloseHandle(handle) ? '-' : 'c'); // already closed
      },
      "", &report, ISIG, true, &flags);
  EXPECT_EQ(report, "nhsc");
}

} // namespace
#endif

// The key wait against a real terminal: a pseudo-terminal becomes the controlling terminal of a
// child process, whose "CONIN$" it then is, and the test types into it.
#ifndef _WIN32
#include "runtime/startup/exit_callbacks.h"
#include "runtime/platform/file_basics.h"
#include "runtime/startup/exit.h"
#include "winposix/testctl.h"
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <tuple>
#include <unistd.h>

namespace {

// What body returns in a child of its own session - with a new terminal as its controlling
// terminal when attach is true - typed into once the child is about to run body.
std::string OnTerminal(const std::function<std::string()>& body, const std::string& typed,
                       bool attach = true) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  grantpt(master);
  unlockpt(master);
  const std::string name = ptsname(master);
  termios t;
  tcgetattr(master, &t);
  cfmakeraw(&t); // bytes kept as they came
  tcsetattr(master, TCSANOW, &t);
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
  for (int fd : {ready[1], out[1]}) close(fd);
  char buffer[256];
  EXPECT_EQ(read(ready[0], buffer, 1), 1);
  usleep(100000);
  EXPECT_EQ(write(master, typed.data(), typed.size()), ssize_t(typed.size()));
  std::string report;
  for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) report.append(buffer, n);
  int status = 0;
  EXPECT_TRUE(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {ready[0], out[0], master}) close(fd);
  return report;
}

// Releases and keys without a character (an arrow) pass; without a terminal no wait at all.
TEST(WaitForKey, ReturnsTheFirstPressedCharacter) {
  // Typed, whether there is a terminal, the keys of as many waits.
  const std::tuple<std::string, bool, std::string> cases[] = {
      {"x", true, "x"}, {"\x1b[Aq", true, "q"}, {"ab", true, "ab"}, {"", false, {'\0'}}};
  for (const auto& [typed, attach, keys] : cases) {
    const auto body = [n = keys.size()] {
      std::string got;
      while (got.size() < n) got += WaitForKey();
      return got;
    };
    EXPECT_EQ(OnTerminal(body, typed, attach), keys) << typed;
  }
}

TEST(ConsoleInputHandle, RetriesAfterAFailureKeepsItsHandleAndClosesAtExit) {
  const auto body = [] {
    winposix::FailNth(winposix::FailPoint::CreateFileA, 1);
    std::string r(1, ConsoleInputHandle() == nullptr ? 'n' : '-');
    void* handle = ConsoleInputHandle();
    r += handle != nullptr ? 'h' : '-';
    r += ConsoleInputHandle() == handle ? 's' : '-';
    RunExitCallbacks();
    return r + (CloseHandle(handle) ? '-' : 'c'); // already closed
  };
  EXPECT_EQ(OnTerminal(body, ""), "nhsc");
}

} // namespace
#endif

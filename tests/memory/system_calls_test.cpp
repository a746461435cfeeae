// The system calls the memory manager relies on. The same checks run against Windows itself in
// the Windows build, so the Linux layer is held to what Windows does.
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(SystemCalls, EnvironmentVariableReturnValues) {
  ASSERT_TRUE(SetEnvironmentVariableA("_Calvisto_Probe_", "12345"));
  struct Case {
    const char* name;
    DWORD size;
    DWORD result;
    const char* text; // null: the buffer is not looked at
  } cases[] = {
      {"_Calvisto_Probe_", 80, 5, "12345"},
      {"_Calvisto_Probe_", 6, 5, "12345"},
      {"_Calvisto_Probe_", 5, 6, nullptr}, // the size needed, terminator counted
      {"_Calvisto_Probe_", 0, 6, nullptr},
      {"_CALVISTO_probe_", 80, 5, "12345"}, // names compare without case
      {"_Calvisto_Absent_", 80, 0, ""},
  };
  for (const Case& c : cases) {
    char buffer[80] = {};
    SetLastError(0);
    EXPECT_EQ(GetEnvironmentVariableA(c.name, buffer, c.size), c.result) << c.name << c.size;
    if (c.text != nullptr) {
      EXPECT_STREQ(buffer, c.text) << c.name;
    }
    if (c.result == 0) {
      EXPECT_EQ(GetLastError(), DWORD{ERROR_ENVVAR_NOT_FOUND});
    }
  }
  ASSERT_TRUE(SetEnvironmentVariableA("_Calvisto_Probe_", nullptr));
}

} // namespace

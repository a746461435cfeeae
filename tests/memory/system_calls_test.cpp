// The system calls the memory manager relies on. The same checks run against Windows itself in
// the Windows build, so the Linux layer is held to what Windows does.
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <bitset>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

TEST(SystemCalls, ModuleFileNameIsThisProgramAndCutsToTheBuffer) {
  char path[1024] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
  ASSERT_GT(length, 5u);
  EXPECT_EQ(length, std::strlen(path));
  EXPECT_NE(std::string(path).find("memory_tests"), std::string::npos) << path;

  char cut[6];
  std::memset(cut, 'x', sizeof(cut));
  EXPECT_EQ(GetModuleFileNameA(nullptr, cut, 5), 5u);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
  EXPECT_EQ(std::string(cut, 4), std::string(path, 4));
  // Windows XP (and Wine) leave the cut name unterminated, later Windows terminates it.
  EXPECT_TRUE(cut[4] == 0 || cut[4] == path[4]);
  EXPECT_EQ(cut[5], 'x');
}

TEST(SystemCalls, SystemRecordDescribesThisMachine) {
  SYSTEM_INFO info;
  std::memset(&info, 0xCC, sizeof(info));
  GetSystemInfo(&info);
  EXPECT_EQ(info.dwPageSize, 4096u);
  EXPECT_EQ(info.dwAllocationGranularity, 0x10000u);
  EXPECT_EQ(info.wProcessorArchitecture, PROCESSOR_ARCHITECTURE_AMD64);
  EXPECT_EQ(info.dwNumberOfProcessors, std::thread::hardware_concurrency());
  EXPECT_EQ(std::bitset<64>(info.dwActiveProcessorMask).count(), info.dwNumberOfProcessors);
  EXPECT_GE(info.wProcessorLevel, 5);
}

TEST(SystemCalls, HeapBlocksKnowTheirSizeAndCanBeZeroed) {
  HANDLE heap = GetProcessHeap();
  for (SIZE_T size : {SIZE_T{0}, SIZE_T{1}, SIZE_T{13}, SIZE_T{4096}, SIZE_T{100000}}) {
    auto* dirty = static_cast<unsigned char*>(HeapAlloc(heap, 0, size));
    ASSERT_NE(dirty, nullptr);
    EXPECT_EQ(HeapSize(heap, 0, dirty), size);
    std::memset(dirty, 0xAB, size);
    EXPECT_TRUE(HeapFree(heap, 0, dirty));
    auto* clean = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, size));
    ASSERT_NE(clean, nullptr);
    EXPECT_EQ(std::vector<unsigned char>(clean, clean + size), std::vector<unsigned char>(size));
    EXPECT_TRUE(HeapFree(heap, 0, clean));
  }
  EXPECT_TRUE(HeapFree(heap, 0, nullptr));
}

// Exclusion itself is held to account by the heap counters under threads.
TEST(SystemCalls, CriticalSectionsAreRecursive) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section); // a plain mutex would hang here
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  std::thread([&] { // and here, had a leave been lost
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
  })
      .join();
  DeleteCriticalSection(&section);
}

} // namespace

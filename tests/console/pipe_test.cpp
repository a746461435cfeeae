// The handle operations the console writers rest on, as Windows does them; run under Wine the
// same test checks that the layer agrees with the real thing.
#include "winposix/win32.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

TEST(Pipes, WriteFileWritesEverythingAndReadFileSeesTheEnd) {
  HANDLE readEnd, writeEnd;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  // Far more than a pipe holds: the write returns only when the reader has taken it all.
  std::string text(300000, 'x');
  for (size_t i = 0; i < text.size(); i += 4096) text[i] = static_cast<char>('a' + i % 26);
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
  EXPECT_TRUE(CloseHandle(writeEnd));
  reader.join();
  EXPECT_EQ(received, text);
  EXPECT_TRUE(CloseHandle(readEnd));
}

TEST(Pipes, WritingToAPipeNobodyReadsFailsQuietly) {
  HANDLE readEnd, writeEnd;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  CloseHandle(readEnd);
  DWORD written = 1;
  EXPECT_FALSE(WriteFile(writeEnd, "abc", 3, &written, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
  EXPECT_EQ(written, 0u);
  CloseHandle(writeEnd);
}

} // namespace

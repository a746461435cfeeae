// Captures what the code under test writes to a standard handle, write by write.
#pragma once

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

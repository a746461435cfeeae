// Files of /proc, read whole.
#include "winposix/internal.h"

#include <fcntl.h>
#include <unistd.h>

namespace winposix {

std::string ReadSystemFile(const char* path) {
  std::string text;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return text;
}

} // namespace winposix

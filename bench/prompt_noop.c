/* The start-up reference: it prints the host program's banner and prompt
   through write(2) and waits to be killed, so the harness times the same event for both. With
   "-exit" it does nothing at all and returns 0. */
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  static const char text[] =
      "Calvisto 1.1  Processor power stress test\r\n\r\nPress ^C to stop CPU stress test...\r\n";
  if (argc > 1 && strcmp(argv[1], "-exit") == 0) return 0;
  if (write(1, text, sizeof text - 1) != (ssize_t)(sizeof text - 1)) return 1;
  for (;;) pause();
}

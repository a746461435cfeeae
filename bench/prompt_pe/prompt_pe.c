/* The product's start-up reference: a 32-bit console image with nothing but the banner and
   prompt, written with WriteFile, and a wait to be killed. Timed through the same runner as
   calvisto.exe, the runner's own cost cancels out of the comparison. */
#include <windows.h>

void __stdcall PromptStart(void) {
  static const char text[] =
      "Calvisto 1.1  Processor power stress test\r\n\r\nPress ^C to stop CPU stress test...\r\n";
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, sizeof text - 1, &written, 0);
  for (;;) Sleep(INFINITE);
}

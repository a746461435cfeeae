// What only Windows has: the speaker and message boxes answer as on a machine without them
// (nothing sounds, nothing shows), and the program's image header is a synthetic one.
#include "winposix/internal.h"

#include <stddef.h>

namespace {

// A Linux executable has no PE header, so the program's module handle points at this one:
// "MZ", the offset of the "PE" signature at byte 60, and the subsystem 92 bytes behind it.
struct alignas(16) SyntheticImage {
  uint8_t dosHeader[60] = {'M', 'Z'};
  uint32_t peOffset = 0x80;
  uint8_t dosStub[0x80 - 64] = {};
  uint8_t signature[4] = {'P', 'E', 0, 0};
  uint8_t fileHeader[20] = {};
  uint8_t optionalHeader[68] = {};
  uint16_t subsystem = 3; // console; 2 is the Windows GUI subsystem
  uint8_t rest[128] = {};
};
static_assert(offsetof(SyntheticImage, subsystem) == 0x80 + 92);

SyntheticImage image;

void BuildImage(winposix::ImageKind kind) {
  const bool signed_ = kind != winposix::ImageKind::NoHeader;
  image.signature[0] = signed_ ? 'P' : 0;
  image.signature[1] = signed_ ? 'E' : 0;
  image.subsystem = kind == winposix::ImageKind::Gui ? 2 : 3;
}

} // namespace

namespace winposix {

void SetImageKind(ImageKind kind) {
  BuildImage(kind);
}

void ResetUserInterface() {
  BuildImage(ImageKind::Console);
}

HMODULE ProgramImage() {
  if (HMODULE loaded = LoadedProgramModule()) return loaded;
  return reinterpret_cast<HMODULE>(&image);
}

} // namespace winposix

extern "C" BOOL WINAPI Beep(DWORD frequency, DWORD duration) {
  LAYER_OVERRIDE(Beep, frequency, duration);
  return TRUE;
}

extern "C" int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
  LAYER_OVERRIDE(MessageBoxA, owner, text, caption, style);
  return 1; // IDOK
}

// What only Windows has, emulated: the speaker, message boxes and the program's image header.
#include "winposix/internal.h"

#include <mutex>
#include <stddef.h>

namespace {

std::mutex recordLock;
std::vector<winposix::BeepCall>& Beeps() {
  static auto* calls = new std::vector<winposix::BeepCall>;
  return *calls;
}
std::vector<winposix::MessageBoxCall>& Boxes() {
  static auto* calls = new std::vector<winposix::MessageBoxCall>;
  return *calls;
}

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

std::vector<BeepCall> RecordedBeeps() {
  std::lock_guard<std::mutex> hold(recordLock);
  return Beeps();
}

std::vector<MessageBoxCall> RecordedMessageBoxes() {
  std::lock_guard<std::mutex> hold(recordLock);
  return Boxes();
}

void SetImageKind(ImageKind kind) {
  BuildImage(kind);
}

void ResetUserInterface() {
  std::lock_guard<std::mutex> hold(recordLock);
  Beeps().clear();
  Boxes().clear();
  BuildImage(ImageKind::Console);
}

HMODULE ProgramImage() {
  if (HMODULE loaded = LoadedProgramModule()) return loaded;
  return reinterpret_cast<HMODULE>(&image);
}

} // namespace winposix

extern "C" BOOL WINAPI Beep(DWORD frequency, DWORD duration) {
  std::lock_guard<std::mutex> hold(recordLock);
  Beeps().push_back({frequency, duration});
  return TRUE;
}

extern "C" int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR caption, UINT style) {
  std::lock_guard<std::mutex> hold(recordLock);
  Boxes().push_back({text != nullptr ? text : "", caption != nullptr ? caption : "", style});
  return 1; // IDOK
}

// The console window and the monitors, emulated: Linux has neither a console screen buffer nor
// top-level windows, so the layer keeps one console with its title, screen buffer, visible window
// and largest window size, shown in one top-level window on a set of monitors. The rules are
// those of Windows: the buffer is never smaller than the visible window, the window never leaves
// the buffer nor grows beyond the largest size, and the window's pixel size follows its size in
// character cells.
#include "winposix/fd_handles.h"
#include "winposix/internal.h"

#include <mutex>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

std::mutex consoleLock;

winposix::ConsoleSetup& Console() {
  static auto* console = new winposix::ConsoleSetup;
  return *console;
}

struct MonitorState {
  std::vector<winposix::ScreenRect> rects{{0, 0, 1920, 1080}};
  bool multiMonitor = true;
  std::vector<bool> infoFails;
};

MonitorState& Monitors() {
  static auto* monitors = new MonitorState;
  return *monitors;
}

std::vector<winposix::ConsoleCallRecord>& Calls() {
  static auto* calls = new std::vector<winposix::ConsoleCallRecord>;
  return *calls;
}

// A window handle and the monitor handles are addresses of these bytes.
char windowToken;
constexpr size_t kMaxMonitors = 16;
char monitorTokens[kMaxMonitors];

HWND ConsoleWindow() {
  return reinterpret_cast<HWND>(&windowToken);
}

void Record(winposix::ConsoleCall call, const char* text, long a, long b, long c, long d, bool ok) {
  Calls().push_back({call, text != nullptr ? text : "", a, b, c, d, ok});
}

// The console's screen buffer answers to any handle of a descriptor, as the standard output of
// a program started in a console window does.
bool IsConsoleOutput(HANDLE handle) {
  if (!Console().attached || winposix::FdFromHandle(handle) < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return true;
}

bool IsConsoleWindow(HWND window) {
  const winposix::ConsoleSetup& c = Console();
  if (window != ConsoleWindow() || !c.attached || !c.hasWindow) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return true;
}

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

} // namespace

namespace winposix {

void SetConsole(const ConsoleSetup& setup) {
  std::lock_guard<std::mutex> hold(consoleLock);
  Console() = setup;
}

ConsoleSetup CurrentConsole() {
  std::lock_guard<std::mutex> hold(consoleLock);
  return Console();
}

void SetMonitors(const std::vector<ScreenRect>& monitors, bool multiMonitor) {
  std::lock_guard<std::mutex> hold(consoleLock);
  MonitorState& m = Monitors();
  m.rects = monitors;
  if (m.rects.size() > kMaxMonitors) m.rects.resize(kMaxMonitors);
  m.multiMonitor = multiMonitor;
  m.infoFails.assign(m.rects.size(), false);
}

void FailMonitorInfo(unsigned index) {
  std::lock_guard<std::mutex> hold(consoleLock);
  MonitorState& m = Monitors();
  if (index < m.infoFails.size()) m.infoFails[index] = true;
}

std::vector<ConsoleCallRecord> RecordedConsoleCalls() {
  std::lock_guard<std::mutex> hold(consoleLock);
  return Calls();
}

void ResetConsole() {
  std::lock_guard<std::mutex> hold(consoleLock);
  Console() = ConsoleSetup();
  Monitors() = MonitorState();
  Monitors().infoFails.assign(Monitors().rects.size(), false);
  Calls().clear();
}

} // namespace winposix

extern "C" DWORD WINAPI GetConsoleTitleA(LPSTR title, DWORD size) {
  std::lock_guard<std::mutex> hold(consoleLock);
  const winposix::ConsoleSetup& c = Console();
  if (!c.attached) return Fail(ERROR_INVALID_HANDLE);
  if (title == nullptr || size == 0) return Fail(ERROR_INSUFFICIENT_BUFFER);
  const size_t length = c.title.size() < size - 1 ? c.title.size() : size - 1;
  memcpy(title, c.title.data(), length);
  title[length] = 0;
  return static_cast<DWORD>(length);
}

extern "C" BOOL WINAPI SetConsoleTitleA(LPCSTR title) {
  std::lock_guard<std::mutex> hold(consoleLock);
  winposix::ConsoleSetup& c = Console();
  const bool ok = c.attached && title != nullptr;
  if (ok) c.title = title;
  Record(winposix::ConsoleCall::SetTitle, title, 0, 0, 0, 0, ok);
  return ok ? TRUE : Fail(c.attached ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
}

extern "C" COORD WINAPI GetLargestConsoleWindowSize(HANDLE output) {
  std::lock_guard<std::mutex> hold(consoleLock);
  if (!IsConsoleOutput(output)) return COORD{0, 0};
  const winposix::ConsoleSetup& c = Console();
  return COORD{static_cast<SHORT>(c.largestColumns), static_cast<SHORT>(c.largestRows)};
}

extern "C" BOOL WINAPI SetConsoleScreenBufferSize(HANDLE output, COORD size) {
  std::lock_guard<std::mutex> hold(consoleLock);
  winposix::ConsoleSetup& c = Console();
  bool ok = IsConsoleOutput(output);
  const int right = c.windowLeft + c.windowColumns, bottom = c.windowTop + c.windowRows;
  if (ok && (size.X < right || size.Y < bottom)) ok = Fail(ERROR_INVALID_PARAMETER);
  if (ok) {
    c.bufferColumns = size.X;
    c.bufferRows = size.Y;
  }
  Record(winposix::ConsoleCall::SetBufferSize, nullptr, size.X, size.Y, 0, 0, ok);
  return ok ? TRUE : FALSE;
}

extern "C" BOOL WINAPI SetConsoleWindowInfo(HANDLE output, BOOL absolute, const SMALL_RECT* area) {
  std::lock_guard<std::mutex> hold(consoleLock);
  winposix::ConsoleSetup& c = Console();
  bool ok = IsConsoleOutput(output);
  if (ok && area == nullptr) ok = Fail(ERROR_INVALID_PARAMETER);
  long left = 0, top = 0, right = -1, bottom = -1;
  if (ok) {
    left = area->Left;
    top = area->Top;
    right = area->Right;
    bottom = area->Bottom;
    if (!absolute) {
      left += c.windowLeft;
      top += c.windowTop;
      right += c.windowLeft + c.windowColumns - 1;
      bottom += c.windowTop + c.windowRows - 1;
    }
    const long columns = right - left + 1, rows = bottom - top + 1;
    if (left < 0 || top < 0 || columns < 1 || rows < 1 || right >= c.bufferColumns ||
        bottom >= c.bufferRows || columns > c.largestColumns || rows > c.largestRows)
      ok = Fail(ERROR_INVALID_PARAMETER);
  }
  if (ok) {
    c.windowLeft = static_cast<int>(left);
    c.windowTop = static_cast<int>(top);
    c.windowColumns = static_cast<int>(right - left + 1);
    c.windowRows = static_cast<int>(bottom - top + 1);
  }
  Record(winposix::ConsoleCall::SetWindowInfo, nullptr, left, top, right, bottom, ok);
  return ok ? TRUE : FALSE;
}

extern "C" BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE output, PCONSOLE_SCREEN_BUFFER_INFO info) {
  std::lock_guard<std::mutex> hold(consoleLock);
  if (!IsConsoleOutput(output)) return FALSE;
  if (info == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const winposix::ConsoleSetup& c = Console();
  info->dwSize = COORD{static_cast<SHORT>(c.bufferColumns), static_cast<SHORT>(c.bufferRows)};
  info->dwCursorPosition = COORD{0, 0};
  info->wAttributes = 0x07;
  info->srWindow = SMALL_RECT{static_cast<SHORT>(c.windowLeft), static_cast<SHORT>(c.windowTop),
                              static_cast<SHORT>(c.windowLeft + c.windowColumns - 1),
                              static_cast<SHORT>(c.windowTop + c.windowRows - 1)};
  info->dwMaximumWindowSize = COORD{
      static_cast<SHORT>(c.bufferColumns < c.largestColumns ? c.bufferColumns : c.largestColumns),
      static_cast<SHORT>(c.bufferRows < c.largestRows ? c.bufferRows : c.largestRows)};
  return TRUE;
}

extern "C" HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName) {
  std::lock_guard<std::mutex> hold(consoleLock);
  winposix::ConsoleSetup& c = Console();
  HWND found = nullptr;
  if (c.attached && c.hasWindow && className == nullptr && windowName != nullptr &&
      c.title == windowName) {
    if (c.missedSearches > 0)
      --c.missedSearches;
    else
      found = ConsoleWindow();
  }
  Record(winposix::ConsoleCall::FindWindow, windowName, 0, 0, 0, 0, found != nullptr);
  return found;
}

extern "C" BOOL WINAPI GetWindowPlacement(HWND window, WINDOWPLACEMENT* placement) {
  std::lock_guard<std::mutex> hold(consoleLock);
  if (!IsConsoleWindow(window)) return FALSE;
  const winposix::ConsoleSetup& c = Console();
  if (placement == nullptr || placement->length != sizeof(WINDOWPLACEMENT) || c.placementFails)
    return Fail(ERROR_INVALID_PARAMETER);
  placement->flags = 0;
  placement->showCmd = SW_SHOWNORMAL;
  placement->ptMinPosition = POINT{-1, -1};
  placement->ptMaxPosition = POINT{-1, -1};
  placement->rcNormalPosition =
      RECT{c.windowX, c.windowY, c.windowX + c.windowColumns * c.cellWidth + c.frameWidth,
           c.windowY + c.windowRows * c.cellHeight + c.frameHeight};
  return TRUE;
}

// A console window's size follows its console, so only the position can be set here.
extern "C" BOOL WINAPI SetWindowPos(HWND window, HWND, int x, int y, int cx, int cy, UINT flags) {
  std::lock_guard<std::mutex> hold(consoleLock);
  winposix::ConsoleSetup& c = Console();
  const bool ok = IsConsoleWindow(window);
  if (ok && (flags & SWP_NOMOVE) == 0) {
    c.windowX = x;
    c.windowY = y;
  }
  Record(winposix::ConsoleCall::SetWindowPos, nullptr, x, y, (flags & SWP_NOSIZE) ? -1 : cx,
         (flags & SWP_NOSIZE) ? -1 : cy, ok);
  return ok ? TRUE : FALSE;
}

// Systems before Windows 98 and 2000 do not know SM_CMONITORS and answer 0.
extern "C" int WINAPI GetSystemMetrics(int index) {
  std::lock_guard<std::mutex> hold(consoleLock);
  const MonitorState& m = Monitors();
  const winposix::ScreenRect primary =
      m.rects.empty() ? winposix::ScreenRect{0, 0, 0, 0} : m.rects.front();
  switch (index) {
  case SM_CXSCREEN:
    return static_cast<int>(primary.right - primary.left);
  case SM_CYSCREEN:
    return static_cast<int>(primary.bottom - primary.top);
  case SM_CMONITORS:
    return m.multiMonitor ? static_cast<int>(m.rects.size()) : 0;
  default:
    return 0;
  }
}

// The callback runs without the layer's lock, so it may ask GetMonitorInfoA.
extern "C" BOOL WINAPI EnumDisplayMonitors(HDC dc, LPCRECT clip, MONITORENUMPROC callback,
                                           LPARAM data) {
  if (dc != nullptr || callback == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<winposix::ScreenRect> rects;
  {
    std::lock_guard<std::mutex> hold(consoleLock);
    rects = Monitors().rects;
  }
  for (size_t i = 0; i < rects.size(); ++i) {
    RECT area{rects[i].left, rects[i].top, rects[i].right, rects[i].bottom};
    if (clip != nullptr && (area.right <= clip->left || clip->right <= area.left ||
                            area.bottom <= clip->top || clip->bottom <= area.top))
      continue;
    if (!callback(reinterpret_cast<HMONITOR>(&monitorTokens[i]), nullptr, &area, data)) break;
  }
  return TRUE;
}

extern "C" BOOL WINAPI GetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info) {
  std::lock_guard<std::mutex> hold(consoleLock);
  const MonitorState& m = Monitors();
  const char* token = reinterpret_cast<const char*>(monitor);
  if (token < monitorTokens || token >= monitorTokens + m.rects.size())
    return Fail(ERROR_INVALID_HANDLE);
  const size_t index = static_cast<size_t>(token - monitorTokens);
  if (info == nullptr || info->cbSize != sizeof(MONITORINFO) || m.infoFails[index])
    return Fail(ERROR_INVALID_PARAMETER);
  const winposix::ScreenRect& r = m.rects[index];
  info->rcMonitor = RECT{r.left, r.top, r.right, r.bottom};
  info->rcWork = info->rcMonitor;
  info->dwFlags = index == 0 ? MONITORINFOF_PRIMARY : 0;
  return TRUE;
}

// wsprintfA's own limit: at most 1024 bytes, terminator included.
extern "C" int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  va_list args;
  va_start(args, format);
  const int length = vsnprintf(buffer, 1024, format, args);
  va_end(args);
  return length < 0 ? 0 : (length > 1023 ? 1023 : length);
}

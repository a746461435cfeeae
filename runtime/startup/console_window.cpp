#include "runtime/startup/console_window.h"

#include "runtime/diag/trace.h"
#include "runtime/startup/next_token.h"
#include "runtime/startup/options.h"
#include "runtime/text/memory_ops.h"
#include "runtime/text/numbers.h"
#include "runtime/text/strings.h"
#include "runtime/text/system_functions.h"

namespace {

struct WindowRequest {
  uint32_t monitor;
  uint32_t columns, rows;
  bool maxColumns, maxRows;
};

constexpr uint32_t kFieldSize = 40;
// Columns and rows of a console screen buffer are 16-bit signed numbers.
constexpr uint32_t kMaxBufferCells = 0x7FFF;

const char* NextField(const char* text, char (&field)[kFieldSize]) {
  return NextToken(text, field, kFieldSize, kTokenToSeparator, ',', 0, 0, nullptr);
}

// A count of at least minimum, or "max"; false for anything else.
bool ReadCount(const char* field, uint32_t minimum, uint32_t* count, bool* max) {
  *max = StrEqual(field, "max");
  if (*max) return true;
  bool complete;
  *count = static_cast<uint32_t>(ParseUnsigned(field, &complete));
  return complete && *count >= minimum;
}

bool ParseRequest(const char* value, WindowRequest* r) {
  char field[kFieldSize];
  const char* rest = NextField(value, field);
  r->monitor = 0;
  if (field[0] == '*') {
    bool complete;
    r->monitor = static_cast<uint32_t>(ParseUnsigned(field + 1, &complete));
    if (!complete) return false;
    rest = NextField(rest, field);
  }
  if (field[0] == 0 || !ReadCount(field, 5, &r->columns, &r->maxColumns)) return false;
  NextField(rest, field);
  if (field[0] == 0) {
    r->maxRows = true;
    return r->maxColumns;
  }
  return ReadCount(field, 2, &r->rows, &r->maxRows);
}

bool ReadPlacement(HWND window, WINDOWPLACEMENT* placement) {
  ZeroMem(placement, sizeof *placement);
  placement->length = sizeof *placement;
  return GetWindowPlacement(window, placement) != FALSE;
}

void MoveWindowTo(HWND window, LONG x, LONG y) {
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

// Whether the new buffer or the window must change first depends on whether the console grows
// or shrinks; the first attempt gets at least the window right, the second the buffer.
void SizeConsole(HANDLE out, uint32_t columns, uint32_t rows) {
  const uint32_t bufferRows = rows * 10 < kMaxBufferCells ? rows * 10 : kMaxBufferCells;
  for (int attempt = 0; attempt < 2; ++attempt) {
    SetConsoleScreenBufferSize(out,
                               COORD{static_cast<SHORT>(columns), static_cast<SHORT>(bufferRows)});
    const SMALL_RECT window = {0, 0, static_cast<SHORT>(columns - 1), static_cast<SHORT>(rows - 1)};
    SetConsoleWindowInfo(out, TRUE, &window);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(out, &info) && static_cast<uint32_t>(info.dwSize.X) == columns)
      return;
  }
}

// Half the room the window leaves on the monitor, none when it does not fit.
LONG Margin(LONG room, LONG size) {
  const LONG margin = (room - size) / 2;
  return margin > 0 ? margin : 0;
}

typedef BOOL(WINAPI* GetMonitorInfoFunction)(HMONITOR monitor, LPMONITORINFO info);
typedef BOOL(WINAPI* EnumDisplayMonitorsFunction)(HDC dc, LPCRECT clip, MONITORENUMPROC callback,
                                                  LPARAM data);

struct MonitorSearch {
  uint32_t wanted;
  GetMonitorInfoFunction getInfo;
  uint32_t counter;
  RECT area;
};

// Monitors whose information cannot be had are not counted.
BOOL CALLBACK VisitMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM data) {
  MonitorSearch* search = reinterpret_cast<MonitorSearch*>(data);
  MONITORINFO info;
  ZeroMem(&info, sizeof info);
  info.cbSize = sizeof info;
  if (!search->getInfo(monitor, &info)) return TRUE;
  if (search->counter == search->wanted) search->area = info.rcMonitor;
  ++search->counter;
  return TRUE;
}

} // namespace

// Windows 95 and NT 4.0 predate multiple monitors and answer 0: they have the one screen.
uint32_t MonitorCount() {
  const int count = GetSystemMetrics(SM_CMONITORS);
  return count > 0 ? static_cast<uint32_t>(count) : 1;
}

bool MonitorRect(uint32_t index, RECT* out) {
  if (out != nullptr) ZeroMem(out, sizeof *out);
  const uint32_t count = MonitorCount();
  if (index >= count || out == nullptr) return false;
  if (count <= 1) {
    out->right = GetSystemMetrics(SM_CXSCREEN);
    out->bottom = GetSystemMetrics(SM_CYSCREEN);
    return true;
  }
  const auto enumerate =
      FindSystemFunction<EnumDisplayMonitorsFunction>(SystemFunction::EnumDisplayMonitors);
  const auto getInfo = FindSystemFunction<GetMonitorInfoFunction>(SystemFunction::GetMonitorInfoA);
  if (enumerate == nullptr || getInfo == nullptr) return false;
  MonitorSearch search;
  ZeroMem(&search, sizeof search);
  search.wanted = index;
  search.getInfo = getInfo;
  if (!enumerate(nullptr, nullptr, VisitMonitor, reinterpret_cast<LPARAM>(&search))) return false;
  *out = search.area;
  return true;
}

HWND FindOwnConsoleWindow() {
  char saved[1024];
  if (GetConsoleTitleA(saved, sizeof saved) == 0) saved[0] = 0;
  saved[sizeof saved - 1] = 0;
  char temporary[1024];
  wsprintfA(temporary, "%d/%d", static_cast<int>(GetTickCount()),
            static_cast<int>(GetCurrentProcessId()));
  SetConsoleTitleA(temporary);
  HWND window = nullptr;
  for (int search = 0; search < 3 && window == nullptr; ++search) {
    Sleep(40);
    window = FindWindowA(nullptr, temporary);
  }
  SetConsoleTitleA(saved);
  return window;
}

void SetUpConsoleWindow() {
  if (IsGuiProgram()) return;
  const char* value;
  if (!HasOption(kOptConsoleWindow, &value) || value == nullptr || *value == 0) return;
  WindowRequest request = {};
  if (!ParseRequest(value, &request)) return;

  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == INVALID_HANDLE_VALUE || out == nullptr) return;
  const HWND window = FindOwnConsoleWindow();
  const uint32_t monitors = MonitorCount();
  if (window == nullptr || monitors == 0) return;
  if (request.monitor >= monitors) request.monitor = 0;
  RECT area;
  if (!MonitorRect(request.monitor, &area)) return;

  WINDOWPLACEMENT placement;
  const RECT& normal = placement.rcNormalPosition;
  if (!ReadPlacement(window, &placement) || normal.left < area.left || normal.left >= area.right ||
      normal.top < area.top || normal.top >= area.bottom) {
    MoveWindowTo(window, area.left, area.top);
    Sleep(10);
  }

  const COORD largest = GetLargestConsoleWindowSize(out);
  const uint32_t width = largest.X > 0 ? static_cast<uint32_t>(largest.X) : 0;
  const uint32_t height = largest.Y > 0 ? static_cast<uint32_t>(largest.Y) : 0;
  const uint32_t maxColumns = width > 4 ? width - 4 : width;
  const uint32_t maxRows = height > 2 ? height - 2 : height;
  const uint32_t columns =
      request.maxColumns || request.columns > maxColumns ? maxColumns : request.columns;
  const uint32_t rows = request.maxRows || request.rows > maxRows ? maxRows : request.rows;
  SizeConsole(out, columns, rows);

  Sleep(50);
  if (!ReadPlacement(window, &placement)) return;
  MoveWindowTo(window, area.left + Margin(area.right - area.left, normal.right - normal.left),
               area.top + Margin(area.bottom - area.top, normal.bottom - normal.top));
}

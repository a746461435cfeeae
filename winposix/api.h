// The Win32 types and functions the runtime uses, for hosts that are not Windows. Names,
// types, constants and behaviour follow the Windows API so the runtime compiles unchanged.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define CALLBACK
#define WINAPIV
#define CONST const

typedef int BOOL;
typedef int16_t SHORT;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t DWORD64;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t SIZE_T;
typedef intptr_t LONG_PTR;
typedef char CHAR;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;
typedef struct HINSTANCE__* HMODULE;
typedef HMODULE HINSTANCE;
typedef LONG_PTR(WINAPI* FARPROC)();

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

// Errors (GetLastError).
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_NOT_READY 21L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_FILE_EXISTS 80L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_ENVVAR_NOT_FOUND 203L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_GEN_FAILURE 31L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_DISK_FULL 112L
#define ERROR_NO_DATA 232L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_BAD_LENGTH 24L
#define ERROR_CALL_NOT_IMPLEMENTED 120L

// Process heap.
#define HEAP_NO_SERIALIZE 0x00000001
#define HEAP_GENERATE_EXCEPTIONS 0x00000004
#define HEAP_ZERO_MEMORY 0x00000008

// System record.
#define PROCESSOR_ARCHITECTURE_INTEL 0
#define PROCESSOR_ARCHITECTURE_AMD64 9
#define PROCESSOR_INTEL_386 386
#define PROCESSOR_INTEL_486 486
#define PROCESSOR_INTEL_PENTIUM 586
#define PROCESSOR_AMD_X8664 8664

// Virtual memory.
#define MEM_COMMIT 0x00001000
#define MEM_RESERVE 0x00002000
#define MEM_DECOMMIT 0x00004000
#define MEM_RELEASE 0x00008000
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_EXECUTE_READWRITE 0x40

// Exceptions.
#define EXCEPTION_ACCESS_VIOLATION 0xC0000005u
#define EXCEPTION_DATATYPE_MISALIGNMENT 0x80000002u
#define EXCEPTION_BREAKPOINT 0x80000003u
#define EXCEPTION_SINGLE_STEP 0x80000004u
#define EXCEPTION_ARRAY_BOUNDS_EXCEEDED 0xC000008Cu
#define EXCEPTION_FLT_DENORMAL_OPERAND 0xC000008Du
#define EXCEPTION_FLT_DIVIDE_BY_ZERO 0xC000008Eu
#define EXCEPTION_FLT_INEXACT_RESULT 0xC000008Fu
#define EXCEPTION_FLT_INVALID_OPERATION 0xC0000090u
#define EXCEPTION_FLT_OVERFLOW 0xC0000091u
#define EXCEPTION_FLT_STACK_CHECK 0xC0000092u
#define EXCEPTION_FLT_UNDERFLOW 0xC0000093u
#define EXCEPTION_INT_DIVIDE_BY_ZERO 0xC0000094u
#define EXCEPTION_INT_OVERFLOW 0xC0000095u
#define EXCEPTION_PRIV_INSTRUCTION 0xC0000096u
#define EXCEPTION_IN_PAGE_ERROR 0xC0000006u
#define EXCEPTION_ILLEGAL_INSTRUCTION 0xC000001Du
#define EXCEPTION_STACK_OVERFLOW 0xC00000FDu
#define EXCEPTION_MAXIMUM_PARAMETERS 15
#define EXCEPTION_CONTINUE_EXECUTION (-1)
#define EXCEPTION_CONTINUE_SEARCH 0

#define TLS_OUT_OF_INDEXES ((DWORD)0xFFFFFFFF)

// Threads and waits.
#define CREATE_SUSPENDED 0x00000004
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define STILL_ACTIVE 259
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);

typedef struct _EXCEPTION_RECORD {
  DWORD ExceptionCode;
  DWORD ExceptionFlags;
  struct _EXCEPTION_RECORD* ExceptionRecord;
  PVOID ExceptionAddress;
  DWORD NumberParameters;
  ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;

// The x86-64 integer register set of a stopped thread.
typedef struct _CONTEXT {
  DWORD64 Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi;
  DWORD64 R8, R9, R10, R11, R12, R13, R14, R15;
  DWORD64 Rip;
  DWORD EFlags;
} CONTEXT, *PCONTEXT;

typedef struct _EXCEPTION_POINTERS {
  PEXCEPTION_RECORD ExceptionRecord;
  PCONTEXT ContextRecord;
} EXCEPTION_POINTERS, *PEXCEPTION_POINTERS;

typedef LONG(WINAPI* PVECTORED_EXCEPTION_HANDLER)(PEXCEPTION_POINTERS);

typedef struct _SYSTEM_INFO {
  union {
    DWORD dwOemId;
    struct {
      WORD wProcessorArchitecture;
      WORD wReserved;
    };
  };
  DWORD dwPageSize;
  LPVOID lpMinimumApplicationAddress;
  LPVOID lpMaximumApplicationAddress;
  DWORD_PTR dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;

// A critical section holds the layer's recursive mutex in place; nothing else looks inside.
typedef struct _RTL_CRITICAL_SECTION {
  ULONG_PTR SpinCount;
  ULONG_PTR Mutex[6];
} CRITICAL_SECTION, *LPCRITICAL_SECTION, *PCRITICAL_SECTION;

typedef struct _OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  CHAR szCSDVersion[128];
} OSVERSIONINFOA, *LPOSVERSIONINFOA;
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

// Standard handles, pipes and synchronous reads and writes.
#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)
typedef HANDLE* PHANDLE;
typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;
typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#ifdef __cplusplus
extern "C" {
#endif

// Errors.
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);

// Modules. The layer answers GetProcAddress from its own table of implemented functions.
HMODULE WINAPI GetModuleHandleA(LPCSTR name);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);

// Virtual memory.
LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect);
BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type);
BOOL WINAPI VirtualProtect(LPVOID address, SIZE_T size, DWORD protect, DWORD* oldProtect);

// Thread-local slots.
DWORD WINAPI TlsAlloc(void);
BOOL WINAPI TlsFree(DWORD index);
LPVOID WINAPI TlsGetValue(DWORD index);
BOOL WINAPI TlsSetValue(DWORD index, LPVOID value);

// The process: its command line (rebuilt from /proc/self/cmdline with Windows quoting), its
// end, its affinity (applied to every thread of the process) and the emulated version record.
LPSTR WINAPI GetCommandLineA(void);
__attribute__((noreturn)) void WINAPI ExitProcess(UINT code);
HANDLE WINAPI GetCurrentProcess(void);
DWORD WINAPI GetCurrentProcessId(void);
BOOL WINAPI GetProcessAffinityMask(HANDLE process, DWORD_PTR* processMask, DWORD_PTR* systemMask);
BOOL WINAPI SetProcessAffinityMask(HANDLE process, DWORD_PTR mask);
void WINAPI Sleep(DWORD milliseconds);
DWORD WINAPI GetVersion(void);
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);

// Time: milliseconds since the system started (CLOCK_BOOTTIME, wrapping after 49.7 days), the
// process's times in 100-ns units (creation and exit since 1601, processor time as used), and
// the calendar time in the local zone and in UTC.
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;
typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;
DWORD WINAPI GetTickCount(void);
BOOL WINAPI GetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel,
                            LPFILETIME user);
void WINAPI GetLocalTime(LPSYSTEMTIME time);
void WINAPI GetSystemTime(LPSYSTEMTIME time);

// Threads: pthreads with suspended start; a thread handle names the layer's record of the thread
// until CloseHandle. NtCurrentTeb gives the thread information block: exception list, stack base
// (top) and stack limit (bottom), pointer-sized each.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                           LPDWORD threadId);
DWORD WINAPI ResumeThread(HANDLE thread);
DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD code);
DWORD WINAPI GetCurrentThreadId(void);
HANDLE WINAPI GetCurrentThread(void);
DWORD_PTR WINAPI SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask);
PVOID WINAPI NtCurrentTeb(void);
void WINAPI GetCurrentThreadStackLimits(PULONG_PTR low, PULONG_PTR high);

// User interface, emulated: Beep and MessageBoxA are recorded (see testctl.h).
#define MB_OK 0x00000000L
#define MB_ICONERROR 0x00000010L
#define MB_SETFOREGROUND 0x00010000L
typedef struct HWND__* HWND;
BOOL WINAPI Beep(DWORD frequency, DWORD duration);
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style);

// The console window and the monitors, emulated (see testctl.h): one console with a title, a
// screen buffer, a visible window and a largest window size, shown in one top-level window that
// FindWindowA finds by the console's title; EnumDisplayMonitors lists the monitors.
typedef struct _COORD {
  SHORT X;
  SHORT Y;
} COORD, *PCOORD;
typedef struct _SMALL_RECT {
  SHORT Left;
  SHORT Top;
  SHORT Right;
  SHORT Bottom;
} SMALL_RECT, *PSMALL_RECT;
typedef struct _CONSOLE_SCREEN_BUFFER_INFO {
  COORD dwSize;
  COORD dwCursorPosition;
  WORD wAttributes;
  SMALL_RECT srWindow;
  COORD dwMaximumWindowSize;
} CONSOLE_SCREEN_BUFFER_INFO, *PCONSOLE_SCREEN_BUFFER_INFO;
typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT, *PRECT, *LPRECT;
typedef const RECT* LPCRECT;
typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT, *PPOINT;
typedef struct tagWINDOWPLACEMENT {
  UINT length;
  UINT flags;
  UINT showCmd;
  POINT ptMinPosition;
  POINT ptMaxPosition;
  RECT rcNormalPosition;
} WINDOWPLACEMENT, *LPWINDOWPLACEMENT;
typedef struct HMONITOR__* HMONITOR;
typedef struct HDC__* HDC;
typedef LONG_PTR LPARAM;
typedef BOOL(CALLBACK* MONITORENUMPROC)(HMONITOR monitor, HDC dc, LPRECT area, LPARAM data);
typedef struct tagMONITORINFO {
  DWORD cbSize;
  RECT rcMonitor;
  RECT rcWork;
  DWORD dwFlags;
} MONITORINFO, *LPMONITORINFO;
#define MONITORINFOF_PRIMARY 0x00000001
#define SW_SHOWNORMAL 1
#define SWP_NOSIZE 0x0001
#define SWP_NOMOVE 0x0002
#define SWP_NOZORDER 0x0004
#define SM_CXSCREEN 0
#define SM_CYSCREEN 1
#define SM_CMONITORS 80
DWORD WINAPI GetConsoleTitleA(LPSTR title, DWORD size);
BOOL WINAPI SetConsoleTitleA(LPCSTR title);
COORD WINAPI GetLargestConsoleWindowSize(HANDLE output);
BOOL WINAPI SetConsoleScreenBufferSize(HANDLE output, COORD size);
BOOL WINAPI SetConsoleWindowInfo(HANDLE output, BOOL absolute, const SMALL_RECT* area);
BOOL WINAPI GetConsoleScreenBufferInfo(HANDLE output, PCONSOLE_SCREEN_BUFFER_INFO info);
HWND WINAPI FindWindowA(LPCSTR className, LPCSTR windowName);
BOOL WINAPI GetWindowPlacement(HWND window, WINDOWPLACEMENT* placement);
BOOL WINAPI SetWindowPos(HWND window, HWND after, int x, int y, int cx, int cy, UINT flags);
int WINAPI GetSystemMetrics(int index);
BOOL WINAPI EnumDisplayMonitors(HDC dc, LPCRECT clip, MONITORENUMPROC callback, LPARAM data);
BOOL WINAPI GetMonitorInfoA(HMONITOR monitor, LPMONITORINFO info);
int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...);

// Processor exceptions, delivered from the signals that stand for them.
PVOID WINAPI AddVectoredExceptionHandler(ULONG first, PVECTORED_EXCEPTION_HANDLER handler);
ULONG WINAPI RemoveVectoredExceptionHandler(PVOID handle);

// Process heap: one heap, the process's default.
HANDLE WINAPI GetProcessHeap(void);
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
SIZE_T WINAPI HeapSize(HANDLE heap, DWORD flags, LPCVOID mem);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID mem);

// Critical sections: recursive mutexes.
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount);
DWORD WINAPI SetCriticalSectionSpinCount(LPCRITICAL_SECTION section, DWORD spinCount);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);

// System record, environment and module path.
void WINAPI GetSystemInfo(LPSYSTEM_INFO info);
DWORD WINAPI GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value);
DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);

// Standard handles, anonymous pipes, and reads and writes on descriptor handles (overlapped
// operation is not supported: the OVERLAPPED argument is ignored).
HANDLE WINAPI GetStdHandle(DWORD which);
BOOL WINAPI SetStdHandle(DWORD which, HANDLE handle);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                      LPOVERLAPPED overlapped);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                     LPOVERLAPPED overlapped);
BOOL WINAPI CreatePipe(PHANDLE readEnd, PHANDLE writeEnd, LPSECURITY_ATTRIBUTES attributes,
                       DWORD size);
BOOL WINAPI CloseHandle(HANDLE handle);
// What a handle leads to: a terminal is the character device a console is.
#define FILE_TYPE_UNKNOWN 0x0000
#define FILE_TYPE_DISK 0x0001
#define FILE_TYPE_CHAR 0x0002
#define FILE_TYPE_PIPE 0x0003
DWORD WINAPI GetFileType(HANDLE file);

// Other processes, from /proc: the toolhelp snapshot (the executable's full path in each
// record), the process-status functions of psapi, the session query and the native query of
// ntdll. A process handle stays bound to its process; libraries load as the layer's modules.
#define TH32CS_SNAPPROCESS 0x00000002
#define PROCESS_VM_READ 0x0010
#define PROCESS_QUERY_INFORMATION 0x0400
typedef struct tagPROCESSENTRY32 {
  DWORD dwSize;
  DWORD cntUsage;
  DWORD th32ProcessID;
  ULONG_PTR th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  CHAR szExeFile[260];
} PROCESSENTRY32, *LPPROCESSENTRY32;
typedef LONG NTSTATUS;
typedef ULONG* PULONG;
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
typedef struct _PROCESS_BASIC_INFORMATION {
  NTSTATUS ExitStatus;
  PVOID PebBaseAddress;
  ULONG_PTR AffinityMask;
  LONG BasePriority;
  ULONG_PTR UniqueProcessId;
  ULONG_PTR InheritedFromUniqueProcessId;
} PROCESS_BASIC_INFORMATION;
// The native process list (NtQuerySystemInformation, SystemProcessInformation): one record per
// process, NextEntryOffset apart (0 in the last), each image name (the file's name only, in
// UTF-16) behind its record.
typedef uint16_t USHORT;
typedef uint16_t WCHAR;
typedef WCHAR* PWSTR;
typedef struct _UNICODE_STRING {
  USHORT Length; // bytes, without a terminator
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING;
#define SystemProcessInformation 5
typedef struct _SYSTEM_PROCESS_INFORMATION {
  ULONG NextEntryOffset;
  ULONG NumberOfThreads;
  BYTE Reserved1[48];
  UNICODE_STRING ImageName;
  LONG BasePriority;
  HANDLE UniqueProcessId;
  HANDLE InheritedFromUniqueProcessId;
  ULONG HandleCount;
  ULONG SessionId;
  BYTE Reserved2[sizeof(void*) == 8 ? 0x98 : 0x64];
} SYSTEM_PROCESS_INFORMATION;
NTSTATUS WINAPI NtQuerySystemInformation(ULONG infoClass, PVOID info, ULONG length,
                                         PULONG returned);
HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL WINAPI Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry);
BOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry);
BOOL WINAPI ProcessIdToSessionId(DWORD processId, DWORD* sessionId);
HANDLE WINAPI OpenProcess(DWORD access, BOOL inherit, DWORD processId);
BOOL WINAPI EnumProcesses(DWORD* ids, DWORD size, DWORD* delivered);
BOOL WINAPI EnumProcessModules(HANDLE process, HMODULE* modules, DWORD size, LPDWORD needed);
DWORD WINAPI GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR name, DWORD size);
NTSTATUS WINAPI NtQueryInformationProcess(HANDLE process, ULONG infoClass, PVOID info, ULONG length,
                                          PULONG returned);
HMODULE WINAPI LoadLibraryA(LPCSTR name);
BOOL WINAPI FreeLibrary(HMODULE module);

// File attributes from the file's type and permissions; the current directory.
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080
DWORD WINAPI GetFileAttributesA(LPCSTR path);
BOOL WINAPI SetCurrentDirectoryA(LPCSTR path);

// Opening, creating and deleting files by name. Sharing modes cannot be had on POSIX and are
// not enforced; "CONIN$" and "CONOUT$" open the controlling terminal (/dev/tty).
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI DeleteFileA(LPCSTR name);

// Files as Windows keeps them beyond POSIX (see file_create.cpp): hidden and system attributes,
// in-process sharing, the file pointer and size, mappings (file_mapping.cpp) and the
// compression request (file_io.cpp).
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_INVALID_ADDRESS 487L
#define ERROR_FILE_INVALID 1006L
#define ERROR_MAPPED_ALIGNMENT 1132L
#define ERROR_USER_MAPPED_FILE 1224L
#define GENERIC_ALL 0x10000000u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define FILE_MAP_COPY 0x0001
#define FILE_MAP_WRITE 0x0002
#define FILE_MAP_READ 0x0004
#define FSCTL_SET_COMPRESSION 0x0009C040
#define COMPRESSION_FORMAT_NONE 0
#define COMPRESSION_FORMAT_DEFAULT 1
BOOL WINAPI SetFileAttributesA(LPCSTR path, DWORD attributes);
DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);
DWORD WINAPI GetFileSize(HANDLE file, LPDWORD sizeHigh);
BOOL WINAPI SetEndOfFile(HANDLE file);
BOOL WINAPI LockFile(HANDLE file, DWORD offsetLow, DWORD offsetHigh, DWORD countLow,
                     DWORD countHigh);
BOOL WINAPI UnlockFile(HANDLE file, DWORD offsetLow, DWORD offsetHigh, DWORD countLow,
                       DWORD countHigh);
BOOL WINAPI DeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                            DWORD outputSize, LPDWORD returned, LPOVERLAPPED overlapped);
HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                                 DWORD sizeHigh, DWORD sizeLow, LPCSTR name);
LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T bytes);
BOOL WINAPI UnmapViewOfFile(LPCVOID address);

// Console input records, made from the bytes a terminal sends (see console_input.cpp for what
// a terminal cannot tell).
#define KEY_EVENT 0x0001
#define MOUSE_EVENT 0x0002
#define WINDOW_BUFFER_SIZE_EVENT 0x0004
#define MENU_EVENT 0x0008
#define FOCUS_EVENT 0x0010
#define RIGHT_ALT_PRESSED 0x0001
#define LEFT_ALT_PRESSED 0x0002
#define RIGHT_CTRL_PRESSED 0x0004
#define LEFT_CTRL_PRESSED 0x0008
#define SHIFT_PRESSED 0x0010
#define VK_BACK 0x08
#define VK_TAB 0x09
#define VK_RETURN 0x0D
#define VK_SHIFT 0x10
#define VK_ESCAPE 0x1B
#define VK_SPACE 0x20
#define VK_PRIOR 0x21
#define VK_NEXT 0x22
#define VK_END 0x23
#define VK_HOME 0x24
#define VK_LEFT 0x25
#define VK_UP 0x26
#define VK_RIGHT 0x27
#define VK_DOWN 0x28
#define VK_INSERT 0x2D
#define VK_DELETE 0x2E
#define VK_F1 0x70
typedef struct _KEY_EVENT_RECORD {
  BOOL bKeyDown;
  WORD wRepeatCount;
  WORD wVirtualKeyCode;
  WORD wVirtualScanCode;
  union {
    WCHAR UnicodeChar;
    CHAR AsciiChar;
  } uChar;
  DWORD dwControlKeyState;
} KEY_EVENT_RECORD, *PKEY_EVENT_RECORD;
typedef struct _INPUT_RECORD {
  WORD EventType;
  union {
    KEY_EVENT_RECORD KeyEvent;
  } Event;
} INPUT_RECORD, *PINPUT_RECORD;
BOOL WINAPI ReadConsoleInputA(HANDLE input, PINPUT_RECORD buffer, DWORD length, LPDWORD read);

// Child processes over posix_spawn. A process handle is the layer's record of the child until
// CloseHandle (the thread handle of PROCESS_INFORMATION stands for the same record). The program
// is the command line's first token or applicationName; a name ending in ".exe" that does not
// exist is its Linux build without the suffix, and a Windows image runs through the loader a
// runner named (winposix/loader.h). A new console cannot be had: CREATE_NEW_CONSOLE shares this
// one. A child ended by a signal has the exception code Windows gives for it as exit code.
#define CREATE_NEW_CONSOLE 0x00000010
#define STATUS_CONTROL_C_EXIT 0xC000013Au
typedef struct _STARTUPINFOA {
  DWORD cb;
  LPSTR lpReserved;
  LPSTR lpDesktop;
  LPSTR lpTitle;
  DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;
typedef struct _PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;
BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                           LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startup,
                           LPPROCESS_INFORMATION information);
BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD code);
BOOL WINAPI TerminateProcess(HANDLE process, UINT code);

// Ctrl+C (SIGINT) calls the handlers, the last added first, on a thread of their own; without
// one that returns TRUE the process ends with STATUS_CONTROL_C_EXIT.
#define CTRL_C_EVENT 0
typedef BOOL(WINAPI* PHANDLER_ROUTINE)(DWORD type);
BOOL WINAPI SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// The processor the calling thread runs on (Vista and later; looked up by name).
DWORD WINAPI GetCurrentProcessorNumber(void);

// The registry, emulated: it holds only the keys a test adds (see testctl.h), and no values.
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define KEY_QUERY_VALUE 0x0001
LONG WINAPI RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG WINAPI RegCloseKey(HKEY key);

#ifdef __cplusplus
}
#endif

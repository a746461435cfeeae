// Every runtime option the runtime knows, by role. The names are kept scrambled in the image;
// README.md lists them for users. "-~SysArgDbg" is compared as it stands and is not here.
#pragma once

#include "runtime/text/scramble.h"

// Start-up
inline constexpr auto kOptProcessAffinity = Scramble("ProcMask");  // value: mask
inline constexpr auto kOptShowCpuClass = Scramble("ShowCpuClass"); // trace the processor class
inline constexpr auto kOptCpuClass = Scramble("CpuClass");         // value: replaces the class
inline constexpr auto kOptNotice = Scramble("Notice");             // trace the fixed notice
inline constexpr auto kOptArgDump = Scramble("ArgDump");           // trace Args and options
inline constexpr auto kOptTiming = Scramble("Timing");             // "Time:" line at exit
inline constexpr auto kOptTimeStamp = Scramble("TimeStamp");       // "Start: " and "End: "
inline constexpr auto kOptWorkDir = Scramble("WorkDir");           // value: directory
inline constexpr auto kOptSysInfo = Scramble("SysInfo");           // system description line
inline constexpr auto kOptNoMain = Scramble("NoMain");             // main is not called
inline constexpr auto kOptStartDelay = Scramble("StartDelay");     // value: e.g. 1h30m
inline constexpr auto kOptIoStats = Scramble("IoStats");           // file I/O counters
inline constexpr auto kOptSlowRead = Scramble("SlowRead");         // 1 s pause per plain read
inline constexpr auto kOptConsoleWindow = Scramble("ConWin");      // value: [*mon,]cols,rows|max

// Exit
inline constexpr auto kOptBeepOnError = Scramble("BeepOnError"); // beep when the code is not 0
inline constexpr auto kOptBeepAtExit = Scramble("BeepAtExit");   // beep at exit
inline constexpr auto kOptQuiet = Scramble("Quiet");             // no beeps at all
inline constexpr auto kOptExitOk = Scramble("ExitOk");           // exit code 0
inline constexpr auto kOptKeyWait = Scramble("KeyWait");         // wait for a key at exit
inline constexpr auto kOptNoKeyWait = Scramble("NoKeyWait");     // never wait for a key
inline constexpr auto kOptMemPeak = Scramble("MemPeak");         // "MemMax" line
inline constexpr auto kOptMemReport = Scramble("MemReport");     // pool report at exit
inline constexpr auto kOptLeakReport = Scramble("LeakReport");   // pool leak report at exit
inline constexpr auto kOptExitCode = Scramble("ExitCode");       // "ExitCode" line
inline constexpr auto kOptSelfDelete = Scramble("SelfDelete");   // delete the program file

// Output
inline constexpr auto kOptOutCopy = Scramble("OutCopy"); // value: file
inline constexpr auto kOptErrCopy = Scramble("ErrCopy"); // value: file

// Memory, processors, threads
inline constexpr auto kOptNoMemCache = Scramble("NoMemCache"); // pool cache off
inline constexpr auto kOptCpuReport = Scramble("CpuReport");   // CPUID lines
inline constexpr auto kOptNoSmt = Scramble("NoSMT");           // no logical-processor probe
inline constexpr auto kOptCpuCount = Scramble("CpuCount");     // value: processor count
inline constexpr auto kOptNoPinning = Scramble("NoPinning");   // threads not pinned
inline constexpr auto kOptStackSize = Scramble("StackSize");   // value: bytes
inline constexpr auto kOptNoStagger = Scramble("NoStagger");   // no stack stagger
inline constexpr auto kOptThreadInfo = Scramble("ThreadInfo"); // per-thread line

// File object switches
inline constexpr auto kOptNoMap = Scramble("NoMap");            // no mapping at all
inline constexpr auto kOptNoMapRead = Scramble("NoMapRead");    // no mapping for reading
inline constexpr auto kOptNoMapWrite = Scramble("NoMapWrite");  // no mapping for writing
inline constexpr auto kOptNoMapReadWrite = Scramble("NoMapRW"); // none for read-write
inline constexpr auto kOptSmallView = Scramble("SmallView");    // small read window
inline constexpr auto kOptSeqScan = Scramble("SeqScan");        // sequential-scan flag
inline constexpr auto kOptCompress = Scramble("Compress");      // compress new files

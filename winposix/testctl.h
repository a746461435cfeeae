// Test controls of the Win32 layer: only tests include this.
#pragma once

namespace winposix {

// Calls whose failure a test can arrange.
enum class FailPoint {
  VirtualAlloc,
  HeapAlloc,
  CreateFileA,
  CreateFileMappingA,
  MapViewOfFile,
  CreateThread,
  Count
};

// The n-th call (1 = the next one) fails; with persistent, every call from then on fails too.
void FailNth(FailPoint point, unsigned n, bool persistent = false);
// Forgets every arranged failure.
void ClearFailures();
// How many calls reached the point since the last ClearFailures.
unsigned CallCount(FailPoint point);

// Makes GetProcAddress answer "missing" for a function, as on an older Windows.
void RemoveExport(const char* name);
void RestoreExports();

// The version record GetVersionExA and GetVersion report (Windows XP SP2, NT family, by
// default).
struct VersionRecord {
  unsigned platform, major, minor, build;
  const char* servicePack;
};
void SetVersion(const VersionRecord& record);

// The handle that stands for a descriptor the test opened (a pipe or socket end), to hand to
// SetStdHandle or WriteFile.
void* DescriptorHandle(int fd);

// Puts every control back to its start value.
void ResetAll();

} // namespace winposix

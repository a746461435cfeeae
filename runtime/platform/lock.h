// TLock: a system critical section in a block of the memory manager, with the recursive
// semantics of one (the owning thread may enter again).
#pragma once

#include <stddef.h>
#include <stdint.h>

struct TLockSection;

class TLock {
public:
  // A spin count of 0 leaves the system's default and never looks up the setter.
  TLock(uint16_t tag, uint32_t spinCount);
  ~TLock();
  TLock(const TLock&) = delete;
  TLock& operator=(const TLock&) = delete;

  // Without its block (the allocation failed) both do nothing.
  void Enter();
  void Leave();

  // False when the block could not be allocated.
  bool Usable() const { return Section != nullptr; }
  // The spin count given to the system; 0 when none was.
  uint32_t AppliedSpinCount() const;

  // Locks live in the memory manager; a refused allocation makes new give null.
  static void* operator new(size_t size) noexcept;
  static void operator delete(void* p) noexcept;

  uint16_t Tag;

private:
  TLockSection* Section;
};

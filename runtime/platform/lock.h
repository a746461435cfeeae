// TLock: a system critical section in a block of the memory manager, with the recursive
// semantics of one (the owning thread may enter again).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include "runtime/memory/memory.h"

struct TLockSection;

class TLock : public TMemObject {
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

  uint16_t Tag;

private:
  TLockSection* Section;
};

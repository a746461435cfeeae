#include "runtime/startup/exit_callbacks.h"

#include "runtime/memory/memory.h"

namespace {

struct Entry {
  ExitCallback function;
  uintptr_t a, b;
};

// One block of 100 entries, of which 99 are used.
constexpr uint32_t kTableEntries = 100;
constexpr uint32_t kMaxCallbacks = 99;

Entry* table = nullptr;
uint32_t used = 0;

} // namespace

bool AddExitCallback(ExitCallback function, uintptr_t a, uintptr_t b) {
  if (table == nullptr) {
    table = static_cast<Entry*>(AllocMem(kTableEntries * sizeof(Entry)));
    if (table == nullptr) return false;
    used = 0;
  }
  if (used >= kMaxCallbacks) return false;
  table[used++] = {function, a, b};
  return true;
}

void RunExitCallbacks() {
  if (table == nullptr) return;
  for (uint32_t i = used; i-- > 0;)
    if (table[i].function != nullptr) table[i].function(table[i].a, table[i].b);
  FreeMem(table);
  table = nullptr;
  used = 0;
}

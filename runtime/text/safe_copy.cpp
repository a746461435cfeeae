#include "runtime/text/fault_guard.h"
#include "runtime/text/memory_ops.h"

namespace {

struct CopyRequest {
  void* dst;
  const void* src;
  uint32_t n;
};

void CopyStep(void* context) {
  auto* request = static_cast<CopyRequest*>(context);
  CopyMem(request->dst, request->src, request->n);
}

} // namespace

bool SafeCopyMem(void* dst, const void* src, uint32_t n) {
  CopyRequest request = {dst, src, n};
  return FaultGuard(&CopyStep, &request);
}

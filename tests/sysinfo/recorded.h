// Recorded processors: what CPUID answers on each, as the processor seam replays it.
#pragma once

#include "runtime/sysinfo/processor.h"

#include <cstdint>
#include <string>
#include <vector>

namespace recorded {

struct Processor {
  std::string name; // also the golden file's name
  std::vector<RecordedLeaf> leaves;
  bool noCpuId = false;
  uint32_t processorClass; // the code the start-up computes from the identification
  std::vector<uint8_t> apicIds = {};
};

// Leaf 0 from the highest leaf and the 12-character vendor string.
RecordedLeaf Vendor(uint32_t maxLeaf, const char* vendor);
// Leaves 0x80000002..4 holding a brand string of at most 48 bytes, zero-padded.
std::vector<RecordedLeaf> Brand(const std::string& brand);
RecordedLeaf Leaf(uint32_t leaf, uint32_t eax, uint32_t ebx, uint32_t ecx, uint32_t edx);

std::vector<Processor> All();
const Processor& Named(const std::string& name);

// Installs a processor in the seam for the lifetime of the object.
class Replay {
public:
  explicit Replay(const Processor& p, uint32_t (*currentProcessor)() = nullptr,
                  bool sseStateOff = false);
  ~Replay();
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;

private:
  RecordedProcessor seam_;
  std::vector<RecordedLeaf> leaves_;
  std::vector<uint8_t> apicIds_;
};

} // namespace recorded

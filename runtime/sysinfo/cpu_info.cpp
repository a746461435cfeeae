#include "runtime/sysinfo/cpu_info.h"

#include "runtime/diag/trace.h"
#include "runtime/startup/options.h"
#include "runtime/startup/runtime_state.h"
#include "runtime/sysinfo/cpu_threads.h"
#include "runtime/sysinfo/processor.h"
#include "runtime/text/fault_guard.h"
#include "runtime/text/memory_ops.h"
#include "runtime/text/numbers.h"
#include "runtime/text/strings.h"

CpuInfoRecord CpuInfo;

namespace {

constexpr uint32_t kExtendedBase = 0x80000000u;
constexpr uint32_t kTransmetaBase = 0x80860000u;

struct VendorString {
  const char* text;
  int32_t code;
};
const VendorString kVendors[] = {
    {"GenuineIntel", kVendorIntel},
    {"AuthenticAMD", kVendorAmd},
    {"CentaurHauls", kVendorCentaur},
    {"GenuineTMx86", kVendorTransmeta},
};

// The brand string's suffix, assembled piece by piece.
class NameSuffix {
public:
  void Add(const char* piece) { StrAppendN(text_, piece, sizeof text_); }
  void Dec(uint32_t value) {
    char number[12];
    UIntToDec(value, number);
    Add(number);
  }
  const char* Text() const { return text_; }

private:
  char text_[128] = {};
};

// "CPUID5:..." or "CPUID-X4:...": the prefix, the leaf number, the four registers.
void TraceLeaf(const char* prefix, uint32_t number, const uint32_t* r) {
  TraceFormat("%s%u:%08X,%08X,%08X,%08X", prefix, number, r[0], r[1], r[2], r[3]);
}

bool Read(uint32_t leaf, uint32_t* r) {
  return ReadCpuId(leaf, &r[0], &r[1], &r[2], &r[3]);
}

struct CpuIdStep {
  uint32_t leaf;
  CpuIdRegisters out;
};

void CpuIdOnce(void* context) {
  auto* step = static_cast<CpuIdStep*>(context);
  ExecuteCpuId(step->leaf, 0, &step->out);
}

void StoreVendor(CpuInfoRecord& c) {
  const uint32_t words[3] = {c.Leaf0[1], c.Leaf0[3], c.Leaf0[2]}; // EBX, EDX, ECX
  for (int w = 0; w < 3; ++w)
    for (int b = 0; b < 4; ++b) c.VendorName[w * 4 + b] = static_cast<char>(words[w] >> (8 * b));
  c.VendorName[12] = 0;
  for (const VendorString& v : kVendors)
    if (StrEqualN(c.VendorName, v.text, 12)) c.Vendor = v.code;
}

bool WantsExtendedLeaves(const CpuInfoRecord& c) {
  switch (c.Vendor) {
  case kVendorIntel:
    return c.Family == 15 || (c.Family == 6 && c.Model >= 7);
  case kVendorAmd:
  case kVendorTransmeta:
    return c.Family >= 5;
  case kVendorCentaur:
    return c.Family >= 6;
  default:
    return false;
  }
}

// Leaves 0x80000001 on; 0x80000002..4 hold the brand string, which becomes Name.
void ReadExtendedLeaves(CpuInfoRecord& c, bool verbose) {
  uint32_t r[4];
  const bool known = Read(kExtendedBase, r);
  c.MaxExtLeaf = r[0];
  if (verbose && known) {
    TraceFormat("CPUID-X:%08X", c.MaxExtLeaf);
  }
  uint32_t length = 0;
  if ((c.MaxExtLeaf & kExtendedBase) != 0) {
    const uint32_t last = c.MaxExtLeaf & ~kExtendedBase;
    // Without the trace only the brand-string leaves are read, as with the standard leaves.
    const uint32_t first = verbose ? 1 : 2;
    const uint32_t stop = verbose || last < 4 ? last : 4;
    for (uint32_t n = first; n <= stop; ++n) {
      Read(kExtendedBase + n, r);
      if (verbose) TraceLeaf("CPUID-X", n, r);
      if (n < 2 || n > 4) continue;
      for (int i = 0; i < 4; ++i)
        for (int b = 0; b < 4; ++b) c.Name[length++] = static_cast<char>(r[i] >> (8 * b));
    }
  }
  c.Name[length] = 0;
  uint32_t blanks = 0;
  while (c.Name[blanks] == ' ') ++blanks;
  if (blanks != 0) MoveMem(c.Name, c.Name + blanks, StrLen(c.Name + blanks) + 1);
}

// Clock and revisions from the 0x8086xxxx leaves, appended to the brand string.
void AddTransmetaDetails(CpuInfoRecord& c, bool verbose) {
  uint32_t r[4];
  if (Read(kTransmetaBase, r) && verbose) {
    TraceFormat("CPUID-TM:%08X,%08X,%08X,%08X", r[0], r[1], r[2], r[3]);
  }
  uint32_t hardware = 0, firmware = 0, nominal = 0, current = 0;
  bool hardwareKnown = false, firmwareKnown = false, nominalKnown = false, currentKnown = false;
  if ((r[0] >> 16) == 0x8086) {
    const uint32_t last = r[0] & 0xFFFF;
    for (uint32_t n = 1; n <= last; ++n) {
      Read(kTransmetaBase + n, r);
      if (n == 1) {
        hardware = r[1];
        nominal = r[2];
        hardwareKnown = nominalKnown = true;
      } else if (n == 2) {
        if (hardwareKnown && hardware == 0x20000000u) hardware = r[0];
        firmware = r[1];
        firmwareKnown = true;
      } else if (n == 7) {
        current = r[0];
        currentKnown = true;
      }
      if (verbose) TraceLeaf("CPUID-TM", n, r);
    }
  }
  NameSuffix suffix;
  if (currentKnown) {
    suffix.Add(" ");
    suffix.Dec(current);
    if (nominalKnown && nominal != current) {
      suffix.Add("/");
      suffix.Dec(nominal);
    }
    suffix.Add("MHz");
  }
  if (hardwareKnown) {
    suffix.Add(" HW");
    for (int shift = 24; shift >= 8; shift -= 8) {
      suffix.Dec((hardware >> shift) & 0xFF);
      if (shift != 8) suffix.Add(".");
    }
    if ((hardware & 0xFF) != 0) {
      suffix.Add(".");
      suffix.Dec(hardware & 0xFF);
    }
  }
  if (firmwareKnown) {
    suffix.Add(" CMS");
    for (int shift = 24; shift >= 0; shift -= 8) {
      suffix.Dec((firmware >> shift) & 0xFF);
      if (shift != 0) suffix.Add(".");
    }
  }
  StrAppendN(c.Name, suffix.Text(), sizeof c.Name);
}

// Early VIA C3 cores report no brand string; their model and stepping name them.
void NameCentaur(CpuInfoRecord& c) {
  if (c.Name[0] != 0 || c.Family != 6) return;
  const char* name = nullptr;
  switch (c.Model) {
  case 6:
    name = "VIA C3 Samuel";
    break;
  case 7:
    name = c.Stepping <= 7 ? "VIA C3 Samuel 2" : "VIA C3 Ezra";
    break;
  case 8:
    name = "VIA C3 Ezra-T";
    break;
  case 9:
    name = "VIA C3 Nehemiah";
    break;
  }
  if (name != nullptr) StrCopyN(c.Name, name, sizeof c.Name);
}

} // namespace

bool ReadCpuId(uint32_t leaf, uint32_t* eax, uint32_t* ebx, uint32_t* ecx, uint32_t* edx) {
  CpuIdStep step = {leaf, {0, 0, 0, 0}};
  const bool done = FaultGuard(&CpuIdOnce, &step);
  if (!done) step.out = {0, 0, 0, 0};
  if (eax != nullptr) *eax = step.out.Eax;
  if (ebx != nullptr) *ebx = step.out.Ebx;
  if (ecx != nullptr) *ecx = step.out.Ecx;
  if (edx != nullptr) *edx = step.out.Edx;
  return done;
}

bool IdentifyCpu(bool verbose, bool complete) {
  CpuInfoRecord& c = CpuInfo;
  if (!Read(0, c.Leaf0)) return false;
  c.Valid = true;
  StoreVendor(c);
  if (verbose) {
    const uint32_t* r = c.Leaf0;
    TraceFormat("CPUID0:%08X,%08X,%08X,%08X [%s,%u]", r[0], r[1], r[2], r[3], c.VendorName,
                static_cast<uint32_t>(c.Vendor));
  }
  const uint32_t maxLeaf = c.Leaf0[0];
  if (maxLeaf >= 1) {
    Read(1, c.Leaf1);
    const uint32_t signature = c.Leaf1[0], features = c.Leaf1[3];
    c.Family = (signature >> 8) & 0xF;
    c.Model = (signature >> 4) & 0xF;
    c.Stepping = signature & 0xF;
    c.Brand = c.Leaf1[1] & 0xFF;
    if (features & (1u << 23)) c.HasMMX = true;
    if (features & (1u << 24)) c.HasFXSR = true;
    if ((features & (1u << 25)) && ProbeSSE()) c.HasSSE = true;
    if (verbose) {
      const uint32_t* r = c.Leaf1;
      TraceFormat("CPUID1:%08X,%08X,%08X,%08X [Family:%X,Model:%X,Stepping:%X,Brand:%X]", r[0],
                  r[1], r[2], r[3], c.Family, c.Model, c.Stepping, c.Brand);
    }
  }
  // Each CPUID is a trap to the hypervisor on a virtual machine (1.4 to 10 us on the ones we
  // measured): what no one will read is not asked for.
  if (!complete && !verbose) return true;
  if (maxLeaf >= 2) {
    Read(2, c.Leaf2);
    if (verbose) TraceLeaf("CPUID", 2, c.Leaf2);
  }
  if (maxLeaf >= 3) {
    Read(3, c.Leaf3);
    if (verbose) TraceLeaf("CPUID", 3, c.Leaf3);
  }
  // The higher leaves only go into the trace, so without it they are not read.
  // n != 0: a highest leaf of 0xFFFFFFFF must not wrap the count round.
  for (uint32_t n = 4; verbose && n <= maxLeaf && n != 0; ++n) {
    uint32_t r[4];
    Read(n, r);
    TraceLeaf("CPUID", n, r);
  }
  if (WantsExtendedLeaves(c)) {
    ReadExtendedLeaves(c, verbose);
    if (c.Vendor == kVendorTransmeta)
      AddTransmetaDetails(c, verbose);
    else if (c.Vendor == kVendorCentaur)
      NameCentaur(c);
  }
  if (verbose && c.Name[0] != 0) TraceLine(c.Name, nullptr);
  return true;
}

bool IdentifyAllCpus() {
  const bool verbose = HasOption(kOptCpuReport);
  if (verbose && IdentifyOnEveryProcessor()) return true;
  // The name and the raw leaves are shown only by the report and the system description.
  return IdentifyCpu(verbose, HasOption(kOptSysInfo));
}

void ComputeProcessorClass() {
  const CpuInfoRecord& c = CpuInfo;
  const bool sseBit = (c.Leaf1[3] & (1u << 25)) != 0;
  uint32_t code = 1;
  if (!c.Valid) {
    code = 1;
  } else if (c.Family == 5) {
    code = c.HasMMX ? 8 : 2;
  } else if (c.Family == 6) {
    if (!c.HasMMX)
      code = 4;
    else if (!c.HasFXSR)
      code = 16;
    else if (!sseBit)
      code = 32;
    else
      code = c.HasSSE ? 128 : 64;
  } else if (c.Family == 15) {
    code = c.HasSSE ? 512 : 256;
  }
  RuntimeState.ProcessorClass = code;
}

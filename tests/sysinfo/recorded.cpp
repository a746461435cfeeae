#include "recorded.h"

#include <cstring>
#include <stdexcept>

namespace recorded {

RecordedLeaf Leaf(uint32_t leaf, uint32_t eax, uint32_t ebx, uint32_t ecx, uint32_t edx) {
  return {leaf, 0, eax, ebx, ecx, edx};
}

namespace {

uint32_t Word(const char* bytes) {
  uint32_t w = 0;
  for (int i = 3; i >= 0; --i) w = w << 8 | static_cast<uint8_t>(bytes[i]);
  return w;
}

std::vector<RecordedLeaf> Join(std::vector<std::vector<RecordedLeaf>> parts) {
  std::vector<RecordedLeaf> all;
  for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Centaur C3 cores before the Esther report no brand string: only 0x80000001 beyond leaf 1.
Processor ViaC3(const std::string& name, uint32_t model, uint32_t stepping, uint32_t features,
                uint32_t processorClass) {
  return {name,
          {Vendor(1, "CentaurHauls"), Leaf(1, 0x600 | model << 4 | stepping, 0, 0, features),
           Leaf(0x80000000, 0x80000001, 0, 0, 0), Leaf(0x80000001, 0, 0, 0, 0x80000000)},
          false,
          processorClass};
}

} // namespace

RecordedLeaf Vendor(uint32_t maxLeaf, const char* vendor) {
  return Leaf(0, maxLeaf, Word(vendor), Word(vendor + 8), Word(vendor + 4));
}

std::vector<RecordedLeaf> Brand(const std::string& brand) {
  char bytes[48] = {};
  std::memcpy(bytes, brand.data(), brand.size() < 48 ? brand.size() : 48);
  std::vector<RecordedLeaf> leaves;
  for (uint32_t n = 0; n < 3; ++n) {
    const char* b = bytes + 16 * n;
    leaves.push_back(Leaf(0x80000002 + n, Word(b), Word(b + 4), Word(b + 8), Word(b + 12)));
  }
  return leaves;
}

std::vector<Processor> All() {
  return {
      // Pentium 100 (P54C): family 5 without MMX, only leaves 0 and 1.
      {"pentium_p54c",
       {Vendor(1, "GenuineIntel"), Leaf(1, 0x0000052C, 0, 0, 0x000003BF)},
       false,
       2},
      // Pentium II (Deschutes): family 6 model 5 reads no extended leaves.
      {"pentium2_deschutes",
       {Vendor(2, "GenuineIntel"), Leaf(1, 0x00000652, 0, 0, 0x0183FBFF),
        Leaf(2, 0x03020101, 0, 0, 0x0C040843)},
       false,
       32},
      // Pentium III (Coppermine) with the serial number on: leaf 3 is the highest, and a leaf
      // above it, 0x80000000 included, echoes leaf 3, so MaxExtLeaf reads 0.
      {"pentium3_coppermine",
       {Vendor(3, "GenuineIntel"), Leaf(1, 0x00000686, 0x00000002, 0, 0x0387FBFF),
        Leaf(2, 0x03020101, 0, 0, 0x0C040882), Leaf(3, 0, 0, 0x0F3A61C2, 0x000B8E44),
        Leaf(0x80000000, 0, 0, 0x0F3A61C2, 0x000B8E44)},
       false,
       128},
      // Celeron (Coppermine-128), serial number off: 0x80000000 echoes leaf 2, so MaxExtLeaf is
      // a value below 0x80000000.
      {"celeron_coppermine",
       {Vendor(2, "GenuineIntel"), Leaf(1, 0x0000068A, 0x00000003, 0, 0x0383FBFF),
        Leaf(2, 0x03020101, 0, 0, 0x0C040841), Leaf(0x80000000, 0x03020101, 0, 0, 0x0C040841)},
       false,
       128},
      // Pentium 4 (Northwood) with Hyper-Threading, no leaf 4; its brand string is
      // right-justified behind 14 blanks.
      {"pentium4_northwood_ht",
       Join({{Vendor(2, "GenuineIntel"), Leaf(1, 0x00000F29, 0x00020809, 0x00004400, 0xBFEBFBFF),
              Leaf(2, 0x665B5001, 0, 0, 0x007A7040), Leaf(0x80000000, 0x80000004, 0, 0, 0),
              Leaf(0x80000001, 0, 0, 0, 0)},
             Brand("              Intel(R) Pentium(R) 4 CPU 3.06GHz")}),
       false,
       512,
       {0, 1}},
      // Pentium 4 (Prescott) with Hyper-Threading and leaf 4 (one core).
      {"pentium4_prescott_ht",
       Join({{Vendor(5, "GenuineIntel"), Leaf(1, 0x00000F34, 0x00020800, 0x0000441D, 0xBFEBFBFF),
              Leaf(2, 0x605B5001, 0, 0, 0x007D7040), Leaf(4, 0x00004121, 0x01C0003F, 0x1F, 0),
              Leaf(5, 0x40, 0x40, 0, 0), Leaf(0x80000000, 0x80000008, 0, 0, 0),
              Leaf(0x80000006, 0, 0, 0x04008040, 0), Leaf(0x80000008, 0x00002024, 0, 0, 0)},
             Brand("              Intel(R) Pentium(R) 4 CPU 3.40GHz")}),
       false,
       512,
       {0, 1}},
      // Pentium Extreme Edition 840: two cores with two logical processors each; leaf 1 counts
      // 4 logical processors, leaf 4 two cores.
      {"pentium_ee_840",
       Join({{Vendor(5, "GenuineIntel"), Leaf(1, 0x00000F44, 0x00040800, 0x0000E43D, 0xBFEBFBFF),
              Leaf(2, 0x605B5001, 0, 0, 0x007D7040), Leaf(4, 0x04004121, 0x01C0003F, 0x1F, 0),
              Leaf(5, 0x40, 0x40, 0, 0), Leaf(0x80000000, 0x80000008, 0, 0, 0),
              Leaf(0x80000001, 0, 0, 0, 0x20100000), Leaf(0x80000006, 0, 0, 0x04008040, 0),
              Leaf(0x80000008, 0x00003024, 0, 0, 0)},
             Brand("              Intel(R) Pentium(R) D CPU 3.20GHz")}),
       false,
       512,
       {0, 1, 2, 3}},
      // Two Xeon (Prestonia) packages with Hyper-Threading: APIC ids 0, 1 and 6, 7.
      {"xeon_dp_ht",
       Join({{Vendor(2, "GenuineIntel"), Leaf(1, 0x00000F27, 0x0002080B, 0x00004400, 0xBFEBFBFF),
              Leaf(2, 0x665B5001, 0, 0, 0x007B7040), Leaf(0x80000000, 0x80000004, 0, 0, 0)},
             Brand("                  Intel(R) Xeon(TM) CPU 2.40GHz")}),
       false,
       512,
       {0, 1, 6, 7}},
      // VIA C3 cores without a brand string, named by model and stepping.
      ViaC3("via_c3_samuel", 6, 5, 0x00803135, 16),
      ViaC3("via_c3_samuel2", 7, 3, 0x00803135, 16),
      ViaC3("via_c3_samuel2_s7", 7, 7, 0x00803135, 16),
      ViaC3("via_c3_ezra", 7, 8, 0x00803135, 16),
      ViaC3("via_c3_ezra_t", 8, 1, 0x00803135, 16),
      ViaC3("via_c3_nehemiah", 9, 8, 0x0381B13F, 128),
      // Transmeta Crusoe TM5800: hardware revision 0x20000000 in 0x80860001 sends the real one
      // to 0x80860002; 600 MHz now of 933 nominal.
      {"transmeta_tm5800",
       Join({{Vendor(1, "GenuineTMx86"), Leaf(1, 0x00000543, 0, 0, 0x0080893F),
              Leaf(0x80000000, 0x80000006, 0, 0, 0), Leaf(0x80000001, 0x00000543, 0, 0, 0x0080893F),
              Leaf(0x80000005, 0, 0, 0x40040120, 0x40040120), Leaf(0x80000006, 0, 0, 0x02004120, 0),
              Leaf(0x80860000, 0x80860007, Word("Tran"), Word("aCPU"), Word("smet")),
              Leaf(0x80860001, 0x00000543, 0x20000000, 933, 0x0000000F),
              Leaf(0x80860002, 0x01040200, 0x04030210, 0, 0),
              Leaf(0x80860003, Word("Linu"), Word("x 4."), Word("3.2-"), Word("16 C")),
              Leaf(0x80860004, Word("MS 2"), Word("0020"), Word("329 "), 0),
              Leaf(0x80860007, 600, 1050, 50, 0)},
             Brand("Transmeta(tm) Crusoe(tm) Processor TM5800")}),
       false, 8},
      // Transmeta Crusoe TM5600: the revision straight from 0x80860001, with a fourth part;
      // nominal and current clock equal.
      {"transmeta_tm5600",
       Join({{Vendor(1, "GenuineTMx86"), Leaf(1, 0x00000542, 0, 0, 0x0080893F),
              Leaf(0x80000000, 0x80000004, 0, 0, 0),
              Leaf(0x80860000, 0x80860007, Word("Tran"), Word("aCPU"), Word("smet")),
              Leaf(0x80860001, 0x00000542, 0x01020304, 667, 0x00000007),
              Leaf(0x80860002, 0x00000000, 0x04020709, 0, 0), Leaf(0x80860007, 667, 1300, 100, 0)},
             Brand("Transmeta(tm) Crusoe(tm) Processor TM5600")}),
       false, 8},
      // AMD Athlon XP (Barton).
      {"amd_athlon_xp",
       Join({{Vendor(1, "AuthenticAMD"), Leaf(1, 0x000006A0, 0, 0, 0x0383FBFF),
              Leaf(0x80000000, 0x80000008, 0, 0, 0), Leaf(0x80000001, 0x000007A0, 0, 0, 0xC1C3FBFF),
              Leaf(0x80000005, 0x0408FF08, 0xFF20FF10, 0x40020140, 0x40020140),
              Leaf(0x80000006, 0, 0x41004100, 0x02008140, 0), Leaf(0x80000007, 0, 0, 0, 1),
              Leaf(0x80000008, 0x00002022, 0, 0, 0)},
             Brand("AMD Athlon(tm) XP 2800+")}),
       false, 128},
      // AMD Athlon 64 X2: the Hyper-Threading bit is set and leaf 1 counts two logical
      // processors, but it is no Intel processor.
      {"amd_athlon64_x2",
       Join({{Vendor(1, "AuthenticAMD"), Leaf(1, 0x00060FB1, 0x00020800, 0x00000001, 0x178BFBFF),
              Leaf(0x80000000, 0x80000008, 0, 0, 0),
              Leaf(0x80000001, 0x00060FB1, 0, 0x0000001F, 0xEBD3FBFF),
              Leaf(0x80000008, 0x00003028, 0, 0x00000001, 0)},
             Brand("AMD Athlon(tm) 64 X2 Dual Core Processor 4800+")}),
       false,
       512,
       {0, 1}},
      // Cyrix 6x86MX: a vendor string none of the four, so no extended leaves.
      {"cyrix_6x86mx",
       {Vendor(1, "CyrixInstead"), Leaf(1, 0x00000601, 0, 0, 0x0080A135)},
       false,
       16},
      // Core i7-8700: 23 standard leaves.
      {"intel_core_i7_8700",
       Join({{Vendor(0x16, "GenuineIntel"), Leaf(1, 0x000906EA, 0x00100800, 0x7FFAFBFF, 0xBFEBFBFF),
              Leaf(2, 0x00FEFF01, 0x000000F0, 0, 0), Leaf(4, 0x1C004121, 0x01C0003F, 0x3F, 0),
              Leaf(5, 0x40, 0x40, 3, 0x00142120), Leaf(6, 0x000027F7, 2, 9, 0),
              Leaf(7, 0, 0x029C67AF, 0, 0x9C000400), Leaf(0xA, 0x07300404, 0, 0, 0x00000603),
              Leaf(0xB, 1, 2, 0x100, 0), Leaf(0xD, 0x1F, 0x440, 0x440, 0),
              Leaf(0x15, 2, 0x12C, 0, 0), Leaf(0x16, 0xC80, 0x12C0, 0x64, 0),
              Leaf(0x80000000, 0x80000008, 0, 0, 0), Leaf(0x80000001, 0, 0, 0x00000121, 0x2C100800),
              Leaf(0x80000006, 0, 0, 0x01006040, 0), Leaf(0x80000007, 0, 0, 0, 0x100),
              Leaf(0x80000008, 0x00003027, 0, 0, 0)},
             Brand("Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz")}),
       false, 128},
      // An i486: the CPUID opcode is undefined.
      {"i486_no_cpuid", {}, true, 1},
  };
}

const Processor& Named(const std::string& name) {
  static const std::vector<Processor> all = All();
  for (const Processor& p : all)
    if (p.name == name) return p;
  throw std::invalid_argument("no recorded processor " + name);
}

Replay::Replay(const Processor& p, uint32_t (*currentProcessor)(), bool sseStateOff)
    : seam_(), leaves_(p.leaves), apicIds_(p.apicIds) {
  seam_.Leaves = leaves_.data();
  seam_.LeafCount = static_cast<uint32_t>(leaves_.size());
  seam_.NoCpuId = p.noCpuId;
  seam_.SseStateOff = sseStateOff;
  seam_.ApicIds = apicIds_.data();
  seam_.ApicIdCount = static_cast<uint32_t>(apicIds_.size());
  seam_.CurrentProcessor = currentProcessor;
  seam_.TimeStampStep = 1000;
  ReplayProcessor(&seam_);
}

Replay::~Replay() {
  ReplayProcessor(nullptr);
}

} // namespace recorded

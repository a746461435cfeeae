// The runner from inside: 32-bit code entered in this process, calling the stubs and faulting.
#include "winposix/loader.h"
#include "winrun/faults.h"
#include "winrun/imports.h"
#include "winrun/switch.h"
#include "winrun/thread_block.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

// Guest code, 32-bit, in this executable's low text. GuestCall(stub, count, args...) pushes the
// arguments, calls the stub and leaves in guestLeft the bytes of them the callee did not take off
// the stack. GuestBare is ud2 with no frame (faults under a frame are tests/width32's).
extern "C" uint32_t guestLeft;
uint32_t guestLeft;
extern "C" char GuestCall[], GuestBare[];
asm(R"(
        .pushsection .text.guest32, "ax"
        .code32
GuestCall:
        push %ebx
        push %esi
        mov %esp, %ebx
        mov 16(%esp), %ecx
        lea 20(%esp), %esi
1:      test %ecx, %ecx
        jz 2f
        pushl -4(%esi,%ecx,4)
        dec %ecx
        jmp 1b
2:      call *12(%ebx)
        mov %ebx, %ecx
        sub %esp, %ecx
        mov %ecx, guestLeft
        mov %ebx, %esp
        pop %esi
        pop %ebx
        ret
GuestBare:
        ud2
        .code64
        .popsection
)");

namespace {

winrun::Thread32 thread;

class WinrunTest : public testing::Test {
protected:
  static void SetUpTestSuite() {
    winposix::KeepMappingsBelow(0x7FFF0000);
    ASSERT_TRUE(winrun::BuildStubs());
    ASSERT_TRUE(winrun::ReserveThreadBlocks());
    ASSERT_TRUE(winrun::NewThread(1 << 20, &thread));
    winrun::AdoptThread(thread);
    winrun::CatchFaults();
  }

  static uint32_t Guest(const char* code, const std::vector<uint32_t>& args) {
    return Call32(winrun::Address(code), args.data(), static_cast<uint32_t>(args.size()),
                  thread.Block(), thread.stackTop);
  }
  static uint32_t Stub(const char* module, const char* name) {
    return winrun::StubFor(GetModuleHandleA(module), name);
  }
};

// Low data, which the guest can address.
char text[64];
uint32_t words[13];

TEST_F(WinrunTest, StubsConvertArgumentsAndKeepTheCallingConvention) {
  const uint32_t format = winrun::Address("%d|%s|%u"), letters = winrun::Address("ab");
  const auto at = [](const void* p) { return winrun::Address(p); };
  // Function, arguments, result (0: not checked) and bytes left on the stack.
  const std::tuple<const char*, std::vector<uint32_t>, uint32_t, uint32_t> rows[] = {
      {"GetCurrentProcessId", {}, static_cast<uint32_t>(getpid()), 0},
      {"SetLastError", {1234}, 0, 0},
      {"GetLastError", {}, 1234, 0},
      {"wsprintfA", {at(text), format, 0xFFFFFFFB, letters, 7}, 7, 20}, // cdecl: the caller's
      // Pointer-sized results written through pointers land in 32-bit slots.
      {"GetProcessAffinityMask", {0xFFFFFFFF, at(&words[0]), at(&words[2])}, 1, 0},
      {"GetSystemInfo", {at(&words[3])}, 0, 0}};
  std::fill(std::begin(words), std::end(words), 0xA5A5A5A5);
  for (const auto& [name, args, result, left] : rows) {
    uint32_t stub = Stub("kernel32", name); // a failed look-up would set the last error
    if (stub == 0) stub = Stub("user32", name);
    ASSERT_NE(stub, 0u) << name;
    std::vector<uint32_t> call = {stub, static_cast<uint32_t>(args.size())};
    call.insert(call.end(), args.begin(), args.end());
    const uint32_t got = Guest(GuestCall, call);
    EXPECT_EQ(result != 0 ? got : 0, result) << name;
    EXPECT_EQ(guestLeft, left) << name;
  }
  EXPECT_STREQ(text, "-5|ab|7");
  EXPECT_NE(words[0], 0u);
  EXPECT_EQ(words[1], 0xA5A5A5A5u);     // untouched by the 32-bit process mask
  EXPECT_EQ(words[3] & 0xFFFF, 0u);     // PROCESSOR_ARCHITECTURE_INTEL
  EXPECT_EQ(words[3 + 9], 0xA5A5A5A5u); // nothing past the 36-byte record
}

TEST_F(WinrunTest, MissingFunctionsHaveNoStub) {
  EXPECT_EQ(Stub("kernel32", "AddVectoredExceptionHandler"), 0u); // the layer's, not adapted
  EXPECT_EQ(Stub("kernel32", "NoSuchFunction"), 0u);
  EXPECT_EQ(Stub("user32", "GetLastError"), 0u); // exported by another module
}

// A program's reservations lie below the limit on 64 KiB granules, each right below the one
// before; where that spot is taken, the next free gap below the limit is found instead.
TEST_F(WinrunTest, ReservationsGrowDownOnGranules) {
  const SIZE_T size = 0x30000;
  auto* first = static_cast<char*>(VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS));
  auto* second = static_cast<char*>(VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(second, first - size);
  void* blocker = mmap(second - 0x10000, 0x10000, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  ASSERT_EQ(blocker, second - 0x10000);
  auto* third = static_cast<char*>(VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(third, nullptr);
  const auto at = reinterpret_cast<uintptr_t>(third);
  EXPECT_EQ(at % 0x10000, 0u);
  EXPECT_LE(at + size, 0x7FFF0000u);
  EXPECT_TRUE(third + size <= blocker || third >= second + 2 * size) << static_cast<void*>(third);
  munmap(blocker, 0x10000);
  for (char* p : {first, second, third}) VirtualFree(p, 0, MEM_RELEASE);
}

TEST_F(WinrunTest, AFaultWithoutAFrameEndsTheProcessWithItsCode) {
  EXPECT_EXIT(Guest(GuestBare, {}), testing::ExitedWithCode(EXCEPTION_ILLEGAL_INSTRUCTION & 0xFF),
              "unhandled exception 0xC000001D");
}

TEST(WinrunWidths, ValuesWidenAndNarrow) {
  const uint32_t slots[] = {0, 0x7FFEFFFF, 0xFFFEFFFF, 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFF0000};
  const uint64_t wide[] = {0, 0x7FFEFFFF, 0xFFFEFFFF, ~0ull, ~1ull, 0xFFFFFFFFFFFF0000ull};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(winrun::Widen(slots[i]), wide[i]) << slots[i];
    EXPECT_EQ(winrun::Narrow(wide[i]), slots[i]) << slots[i];
  }
  EXPECT_EQ(winrun::FromSlot<LONG>(0xFFFFFFFF), -1);
  EXPECT_EQ(winrun::FromSlot<SIZE_T>(0xFFFFFFFF), 0xFFFFFFFFu);
  EXPECT_EQ(winrun::FromSlot<COORD>(0x00190050).Y, 25);
  EXPECT_EXIT(winrun::Narrow(0x100000000ull), testing::ExitedWithCode(126), "above 4 GiB");
}

} // namespace

// The runner from inside: 32-bit code entered in this process, calling the stubs and faulting.
#include "winposix/loader.h"
#include "winrun/faults.h"
#include "winrun/imports.h"
#include "winrun/switch.h"
#include "winrun/thread_block.h"

#include <gtest/gtest.h>
#include <unistd.h>

// Guest code, 32-bit, in this executable's low text.
//   GuestCall(stub, count, args...): pushes count arguments, calls the stub, and leaves in
//   guestLeft how many bytes of them the callee did not take off the stack.
//   GuestBare(): ud2 with no frame. Faults under a frame, resumed by its handler, are the 32-bit
//   fault guard's (tests/width32, run through the runner).
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

  static uint32_t Guest(const char* code, std::initializer_list<uint32_t> args) {
    const std::vector<uint32_t> slots(args);
    return Call32(winrun::Address(code), slots.data(), static_cast<uint32_t>(slots.size()),
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
  struct Row {
    const char* name;
    std::vector<uint32_t> args;
    uint32_t result, left;
  };
  const uint32_t format = winrun::Address("%d|%s|%u");
  const uint32_t letters = winrun::Address("ab");
  const Row rows[] = {
      {"GetCurrentProcessId", {}, static_cast<uint32_t>(getpid()), 0},
      {"SetLastError", {1234}, 0, 0},
      {"GetLastError", {}, 1234, 0},
      // cdecl: the arguments stay for the caller.
      {"wsprintfA", {winrun::Address(text), format, 0xFFFFFFFB, letters, 7}, 7, 20},
      // Pointer-sized results written through pointers land in 32-bit slots.
      {"GetProcessAffinityMask",
       {0xFFFFFFFF, winrun::Address(&words[0]), winrun::Address(&words[2])},
       1,
       0},
      {"GetSystemInfo", {winrun::Address(&words[3])}, 0, 0},
  };
  std::fill(std::begin(words), std::end(words), 0xA5A5A5A5);
  for (const Row& row : rows) {
    std::vector<uint32_t> call = {Stub("kernel32", row.name) != 0 ? Stub("kernel32", row.name)
                                                                  : Stub("user32", row.name),
                                  static_cast<uint32_t>(row.args.size())};
    call.insert(call.end(), row.args.begin(), row.args.end());
    ASSERT_NE(call[0], 0u) << row.name;
    const uint32_t result =
        Call32(winrun::Address(GuestCall), call.data(), static_cast<uint32_t>(call.size()),
               thread.Block(), thread.stackTop);
    if (row.result != 0) {
      EXPECT_EQ(result, row.result) << row.name;
    }
    EXPECT_EQ(guestLeft, row.left) << row.name;
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

TEST_F(WinrunTest, AFaultWithoutAFrameEndsTheProcessWithItsCode) {
  EXPECT_EXIT(Guest(GuestBare, {}), testing::ExitedWithCode(EXCEPTION_ILLEGAL_INSTRUCTION & 0xFF),
              "unhandled exception 0xC000001D");
}

TEST(WinrunWidths, ValuesWidenAndNarrow) {
  struct Row {
    uint32_t slot;
    uint64_t wide;
  } const rows[] = {
      {0, 0},
      {0x7FFEFFFF, 0x7FFEFFFF},
      {0xFFFEFFFF, 0xFFFEFFFF},
      {0xFFFFFFFF, ~0ull},
      {0xFFFFFFFE, ~1ull},
      {0xFFFF0000, 0xFFFFFFFFFFFF0000ull},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(winrun::Widen(row.slot), row.wide) << row.slot;
    EXPECT_EQ(winrun::Narrow(row.wide), row.slot) << row.slot;
  }
  EXPECT_EQ(winrun::FromSlot<LONG>(0xFFFFFFFF), -1);
  EXPECT_EQ(winrun::FromSlot<SIZE_T>(0xFFFFFFFF), 0xFFFFFFFFu);
  EXPECT_EQ(winrun::FromSlot<COORD>(0x00190050).Y, 25);
  EXPECT_EXIT(winrun::Narrow(0x100000000ull), testing::ExitedWithCode(126), "above 4 GiB");
}

} // namespace

// The runner from inside: 32-bit code entered in this process, calling the stubs and faulting
// under a structured-exception frame.
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
//   GuestFault(kind): under a frame whose handler records the exception and resumes after the
//   faulting instruction; returns the recorded code, or 0xBAD when EBX, ESI, EDI or EBP changed.
//   GuestBare(): ud2 with no frame.
extern "C" uint32_t guestLeft, guestCode, guestInfo[2];
uint32_t guestLeft, guestCode, guestInfo[2];
extern "C" char GuestCall[], GuestFault[], GuestBare[];
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
GuestFault:
        push %ebx
        push %esi
        push %edi
        push %ebp
        mov 20(%esp), %eax
        mov $0x11111111, %ebx
        mov $0x22222222, %esi
        mov $0x33333333, %edi
        mov $0x44444444, %ebp
        push $GuestHandler
        pushl %fs:0
        mov %esp, %fs:0
        cmp $1, %eax
        je 3f
        cmp $2, %eax
        je 4f
        ud2
3:      xor %eax, %eax
        mov (%eax), %eax
4:      xor %edx, %edx
        xor %ecx, %ecx
        div %ecx
GuestResume:
        pop %fs:0
        add $4, %esp
        mov guestCode, %eax
        cmp $0x11111111, %ebx
        jne 5f
        cmp $0x22222222, %esi
        jne 5f
        cmp $0x33333333, %edi
        jne 5f
        cmp $0x44444444, %ebp
        je 6f
5:      mov $0xBAD, %eax
6:      pop %ebp
        pop %edi
        pop %esi
        pop %ebx
        ret
GuestHandler:
        mov 4(%esp), %eax
        mov 0x14(%eax), %ecx
        mov %ecx, guestInfo
        mov 0x18(%eax), %ecx
        mov %ecx, guestInfo+4
        mov (%eax), %eax
        mov %eax, guestCode
        mov 12(%esp), %ecx
        movl $GuestResume, 0xB8(%ecx)
        mov 8(%esp), %eax
        mov %eax, 0xC4(%ecx)
        xor %eax, %eax
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

TEST_F(WinrunTest, FaultsReachTheFrameHandlerAndResume) {
  struct Row {
    uint32_t kind, code, info0, info1;
  } const rows[] = {
      {0, EXCEPTION_ILLEGAL_INSTRUCTION, 0, 0},
      {1, EXCEPTION_ACCESS_VIOLATION, 0, 0}, // a read at address 0
      {2, EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0},
  };
  for (const Row& row : rows) {
    guestCode = 0;
    guestInfo[0] = guestInfo[1] = 0xFFFF;
    EXPECT_EQ(Guest(GuestFault, {row.kind}), row.code) << row.kind;
    if (row.code == EXCEPTION_ACCESS_VIOLATION) {
      EXPECT_EQ(guestInfo[0], row.info0);
      EXPECT_EQ(guestInfo[1], row.info1);
    }
  }
  EXPECT_EQ(winrun::CurrentBlock(), thread.Block());
  EXPECT_EQ(thread.block->ExceptionList, winrun::kEndOfChain);
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

#include "mem_fixture.h"

#include <cstring>

namespace {

using memtest::Counters;
using memtest::MemTest;

class StringsDup : public MemTest {};

TEST_F(StringsDup, CopiesAreNewBlocksWithRoomBehind) {
  const std::string longText(300, 'x');
  const char* texts[] = {"", "a", "Calvisto", longText.c_str()};
  for (const char* heapMgr : {"1", "2"}) {
    Start(heapMgr);
    for (const char* text : texts) {
      char* copy = DupString(text);
      ASSERT_NE(copy, nullptr);
      EXPECT_NE(copy, text);
      EXPECT_NE(copy, EmptyString) << "an empty text is copied too";
      EXPECT_STREQ(copy, text);
      FreeString(copy);
      for (uint32_t extra : {0u, 1u, 100u}) {
        char* room = DupStringExtra(text, extra);
        ASSERT_NE(room, nullptr);
        EXPECT_STREQ(room, text);
        std::memset(room + std::strlen(text) + 1, '#', extra); // the room is writable
        FreeString(room);
      }
    }
    EXPECT_EQ(Counters()[kMemBlocksInUse], 0u) << heapMgr;
    Reset();
  }
}

TEST_F(StringsDup, NullAndEmptyStringAreLeftAlone) {
  Start("2");
  const auto before = Counters();
  EXPECT_EQ(DupString(nullptr), nullptr);
  EXPECT_EQ(DupStringExtra(nullptr, 4), nullptr);
  FreeString(nullptr);
  FreeString(EmptyString);
  EXPECT_STREQ(EmptyString, "");
  EXPECT_EQ(DupStringExtra("abc", 0xFFFFFFFFu), nullptr) << "room beyond 32 bits";
  EXPECT_EQ(Counters(), before);
}

} // namespace

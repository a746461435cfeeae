// FormatText on any format, with an argument block built from the input, checked against a
// plain model of the expansion into buffers of many sizes.
//
// Input: the format up to its first zero byte, then the material of the arguments, taken in the
// order the model consumes them: 4 bytes for a number, 8 for a %p pointer, for a text a length
// byte (0xFF: a null pointer) and its bytes, for a 16-bit text a length byte and two bytes a unit.
// Every text is an exact-size block of its own, so a read past its end is seen. %Q is a directive
// of this target: it writes the index of the next argument the engine would read, which checks
// that every directive before it consumed as many arguments as it should.
#include "fuzz/fuzz_support.h"
#include "runtime/text/format.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#if !defined(__x86_64__) || defined(_WIN32)
#error "the argument block is built for the x86-64 System V calling convention"
#endif

namespace {

// The x86-64 System V va_list: with both register areas used up, every argument comes from the
// overflow area, 8 bytes a slot, which is the block this target builds.
struct VaTag {
  uint32_t gpOffset;
  uint32_t fpOffset;
  void* overflowArea;
  void* registerArea;
};
static_assert(sizeof(ArgCursor) == sizeof(VaTag), "ArgCursor holds one va_list");

uint64_t* gSlots = nullptr; // the block of the call under way, for %Q

ArgCursor CursorOver(uint64_t* slots) {
  const VaTag tag = {48, 176, slots, nullptr};
  ArgCursor cursor;
  std::memcpy(&cursor, &tag, sizeof tag);
  return cursor;
}

int32_t NextArgumentIndex(const char**, char* buffer, int32_t bufferSize, ArgCursor* args) {
  VaTag tag;
  std::memcpy(&tag, args, sizeof tag);
  const auto index = static_cast<uint64_t*>(tag.overflowArea) - gSlots;
  const std::string text = std::to_string(index);
  if (static_cast<int32_t>(text.size()) >= bufferSize) fuzz::Fail();
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<int32_t>(text.size());
}

class Material {
public:
  Material(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint64_t Bytes(int n) {
    uint64_t value = 0;
    for (int i = 0; i < n; ++i) value |= static_cast<uint64_t>(Byte()) << (8 * i);
    return value;
  }

private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

std::string Hex(uint64_t value, size_t minDigits) {
  std::string text;
  do {
    text.insert(text.begin(), "0123456789ABCDEF"[value & 15]);
    value >>= 4;
  } while (value != 0);
  if (text.size() < minDigits) text.insert(0, minDigits - text.size(), '0');
  return text;
}

// The expansion the engine must produce, and the argument block it reads. Texts past kCap are
// not kept: the engine's result for them can only be a cut one.
class Model {
public:
  static constexpr size_t kCap = 1 << 14; // above every size checked

  Model(const std::string& format, Material& material) : material_(material) {
    for (size_t i = 0; i < format.size() && !capped_;) {
      const char c = format[i++];
      if (c == '\n') {
        Put("\r\n");
        continue;
      }
      if (c != '%') {
        Put(std::string(1, c));
        continue;
      }
      bool left = false, group = false, zero = false;
      uint32_t width = 0;
      if (i < format.size() && format[i] == '-') left = true, ++i;
      if (i < format.size() && format[i] == '$') group = true, ++i;
      if (i < format.size() && format[i] == '0') zero = true, ++i;
      while (i < format.size() && format[i] >= '0' && format[i] <= '9')
        width = width * 10 + static_cast<uint32_t>(format[i++] - '0');
      if (i == format.size()) break;
      char letter = format[i++];
      std::string text;
      switch (letter) {
      case '%':
        Put("%");
        continue;
      case 'c':
        if (const char ch = static_cast<char>(Number())) Put(std::string(1, ch));
        continue;
      case 'p':
        text = "0x" + Hex(Pointer(), 2 * sizeof(void*));
        break;
      case 's':
        text = Text();
        break;
      case 'l':
      case 'L':
        if (i == format.size()) return;
        letter = format[i++];
        if (letter == 's') {
          text = WideText();
          break;
        }
        if (!IntegerText(letter, &text)) continue;
        break;
      case 'H':
      case 'h': {
        const char how = i < format.size() ? format[i] : 0;
        if (how == 'u' || how == 'd' || how == 'x' || how == 'X') {
          ++i;
          text = Int64Text(how);
        }
        break;
      }
      case 'Q':
      case 'q':
        text = std::to_string(slots.size());
        break;
      case 'D': // the table's 'd' answers it: an empty field
        break;
      default:
        if (!IntegerText(letter, &text)) continue;
        break;
      }
      Place(text, left, group, zero, width);
    }
  }

  std::string out;
  bool capped_ = false;
  std::vector<uint64_t> slots;

private:
  // Past kCap only the part that fits is kept: a prefix is all the checks need.
  void Put(const std::string& text) {
    if (out.size() + text.size() > kCap) capped_ = true;
    out.append(text, 0, kCap - out.size());
  }
  void Pad(uint64_t count, char pad) {
    if (out.size() + count > kCap) capped_ = true;
    out.append(static_cast<size_t>(std::min<uint64_t>(count, kCap - out.size())), pad);
  }

  uint32_t Number() {
    const auto value = static_cast<uint32_t>(material_.Bytes(4));
    slots.push_back(value);
    return value;
  }
  uint64_t Pointer() {
    slots.push_back(material_.Bytes(8));
    return slots.back();
  }
  std::string Text() {
    const uint8_t length = material_.Byte();
    if (length == 0xFF) {
      slots.push_back(0);
      return "(null)";
    }
    auto block = std::make_unique<char[]>(length + 1u);
    for (uint8_t i = 0; i < length; ++i) block[i] = static_cast<char>(material_.Byte());
    block[length] = 0;
    slots.push_back(reinterpret_cast<uintptr_t>(block.get()));
    std::string text = block.get();
    texts_.push_back(std::move(block));
    return text;
  }
  std::string WideText() {
    const uint8_t length = material_.Byte();
    if (length == 0xFF) {
      slots.push_back(0);
      return "(null)";
    }
    auto block = std::make_unique<uint16_t[]>(length + 1u);
    for (uint8_t i = 0; i < length; ++i) block[i] = static_cast<uint16_t>(material_.Bytes(2));
    block[length] = 0;
    slots.push_back(reinterpret_cast<uintptr_t>(block.get()));
    std::string text;
    for (uint16_t* unit = block.get(); *unit != 0 && text.size() < 511; ++unit)
      text += *unit < 256 ? static_cast<char>(*unit) : '?';
    wideTexts_.push_back(std::move(block));
    return text;
  }
  bool IntegerText(char letter, std::string* text) {
    switch (letter) {
    case 'd':
      *text = std::to_string(static_cast<int32_t>(Number()));
      return true;
    case 'u':
      *text = std::to_string(Number());
      return true;
    case 'x':
    case 'X':
      *text = Hex(Number(), 1);
      return true;
    default:
      return false;
    }
  }
  std::string Int64Text(char how) {
    const uint64_t low = Number();
    const uint64_t value = low | static_cast<uint64_t>(Number()) << 32;
    if (how == 'x' || how == 'X') return (value >> 32) == 0 ? Hex(low, 1) : Hex(value, 9);
    if (how == 'd' && static_cast<int64_t>(value) < 0) return "-" + std::to_string(0 - value);
    return std::to_string(value);
  }

  // A negative number is grouped behind its sign.
  void Place(const std::string& text, bool left, bool group, bool zero, uint32_t width) {
    std::string shown = text;
    if (group) {
      const size_t sign = text.size() > 1 && text[0] == '-' && text[1] >= '0' && text[1] <= '9';
      shown = text.substr(0, sign);
      const std::string digits = text.substr(sign);
      for (size_t k = 0; k < digits.size(); ++k) {
        if (k > 0 && (digits.size() - k) % 3 == 0) shown += '.';
        shown += digits[k];
      }
    }
    const uint64_t padding = width > shown.size() ? width - shown.size() : 0;
    if (!left) Pad(padding, zero ? '0' : ' ');
    Put(shown);
    if (left) Pad(padding, zero ? '0' : ' ');
  }

  Material& material_;
  std::vector<std::unique_ptr<char[]>> texts_;
  std::vector<std::unique_ptr<uint16_t[]>> wideTexts_;
};

constexpr int32_t kGuard = 16;
constexpr uint8_t kCanary = 0xA5;

void Check(const std::string& format, const Model& model, int32_t size) {
  const size_t room = size > 0 ? static_cast<size_t>(size) : 0;
  std::vector<uint64_t> slots = model.slots; // the engine reads exactly these, or past the block
  auto block = std::make_unique<uint8_t[]>(room + 2 * kGuard);
  std::memset(block.get(), kCanary, room + 2 * kGuard);
  char* dst = reinterpret_cast<char*>(block.get() + kGuard);
  gSlots = slots.data();
  const bool complete = FormatText(dst, CursorOver(slots.data()), size, format.c_str());
  gSlots = nullptr;

  for (int32_t i = 0; i < kGuard; ++i)
    if (block[i] != kCanary || block[kGuard + room + i] != kCanary) fuzz::Fail();
  if (size <= 0) {
    for (size_t i = 0; i < room; ++i)
      if (block[kGuard + i] != kCanary) fuzz::Fail();
    if (complete) fuzz::Fail();
    return;
  }
  const void* end = std::memchr(dst, 0, room);
  if (end == nullptr) fuzz::Fail();
  const size_t length = static_cast<const char*>(end) - dst;
  // Nothing behind the terminator is touched; the text is a prefix of the whole expansion.
  for (size_t i = length + 1; i < room; ++i)
    if (block[kGuard + i] != kCanary) fuzz::Fail();
  if (length > model.out.size() || model.out.compare(0, length, dst, length) != 0) fuzz::Fail();
  const bool whole = !model.capped_ && length == model.out.size();
  if (complete != whole) fuzz::Fail();
  if (!model.capped_ && model.out.size() < room && !complete) fuzz::Fail();
}

int32_t DummyHandler(const char**, char* buffer, int32_t, ArgCursor*) {
  buffer[0] = 0;
  return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Prepare();
  static const bool registered = [] {
    // The table's letters: %H, this target's %Q, and the built-in letters, which never win.
    return RegisterInt64Directive() && RegisterFormatDirective('Q', NextArgumentIndex) &&
           RegisterFormatDirective('d', DummyHandler) && RegisterInt64Directive();
  }();
  if (!registered) fuzz::Fail();

  const uint8_t* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t formatLength = zero != nullptr ? static_cast<size_t>(zero - data) : size;
  const std::string format(reinterpret_cast<const char*>(data), formatLength);
  const size_t rest = zero != nullptr ? size - formatLength - 1 : 0;
  Material material(data + formatLength + (zero != nullptr ? 1 : 0), rest);
  const Model model(format, material);

  for (int32_t s : {-1, 0, 1, 2, 3, 5, 8, 31, 64, 200, 513, 4096}) Check(format, model, s);
  if (!model.capped_) {
    const auto whole = static_cast<int32_t>(model.out.size());
    Check(format, model, whole);
    Check(format, model, whole + 1);
  }
  return 0;
}

#include "runtime/text/format.h"

#include "runtime/text/memory_ops.h"
#include "runtime/text/numbers.h"
#include "runtime/text/strings.h"

namespace {

constexpr int32_t kExtraSlots = 32;
// A wide text converts into the work buffer, so at most all but the terminator's byte.
constexpr int32_t kMaxWideUnits = kFormatWorkSize - 1;

struct ExtraDirective {
  FormatDirectiveHandler handler; // null: the slot is free
  char letter;
};

// Filled in slot order and never cleared, so the first free slot ends the used part.
ExtraDirective gExtraDirectives[kExtraSlots];

const char kNullText[] = "(null)";

struct Output {
  char* at;
  int32_t room; // bytes left before the terminator's place

  // False, with nothing written, when the room is used up.
  bool Put(char c) {
    if (room == 0) return false;
    *at++ = c;
    --room;
    return true;
  }
  // As much of the run as fits; false when not all of it did.
  bool PutRun(const char* run, int32_t len) {
    const int32_t n = len < room ? len : room;
    CopyMem(at, run, static_cast<uint32_t>(n));
    at += n;
    room -= n;
    return n == len;
  }
};

struct Field {
  bool left;
  bool group;
  bool zero;
  uint32_t width;
};

uint32_t NextSlot(ArgCursor& args) {
  return __builtin_va_arg(args.list, uint32_t);
}

const void* NextPointer(ArgCursor& args) {
  return __builtin_va_arg(args.list, const void*);
}

// %d, %u, %x and %X; -1 for any other letter.
int32_t IntegerText(char letter, ArgCursor& args, char* work) {
  switch (letter) {
  case 'd':
    return IntToDec(static_cast<int32_t>(NextSlot(args)), work);
  case 'u':
    return UIntToDec(NextSlot(args), work);
  case 'x':
  case 'X':
    return UIntToHex(NextSlot(args), work, 0);
  default:
    return -1;
  }
}

// All the digits of the pointer's width: 8 in a 32-bit build, 16 in a 64-bit one, so a pointer
// is never shown cut to its low half.
int32_t PointerText(const void* pointer, char* work) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(pointer);
  work[0] = '0';
  work[1] = 'x';
  int32_t len = 2;
  if (sizeof value > 4) len += UIntToHex(static_cast<uint32_t>((value >> 16) >> 16), work + len, 8);
  return len + UIntToHex(static_cast<uint32_t>(value), work + len, 8);
}

int32_t WideText(const uint16_t* text, char* work) {
  int32_t len = 0;
  while (len < kMaxWideUnits && text[len] != 0) {
    const uint16_t unit = text[len];
    work[len++] = unit < 256 ? static_cast<char>(unit) : '?';
  }
  work[len] = 0;
  return len;
}

FormatDirectiveHandler FindExtraDirective(char letter) {
  const uint8_t wanted = CharUpper(static_cast<uint8_t>(letter));
  for (const ExtraDirective& slot : gExtraDirectives) {
    if (slot.handler == nullptr) break;
    if (CharUpper(static_cast<uint8_t>(slot.letter)) == wanted) return slot.handler;
  }
  return nullptr;
}

// Writes text as a field. False when the output had to end: the room ran out in the padding, or
// the text (with its separators) did not fit, in which case as much of it as fits is written.
bool PlaceField(Output& out, const Field& field, const char* text, int32_t len) {
  // A negative number is grouped behind its sign: "-1.234", never "-.123".
  const int32_t sign = field.group && len > 1 && text[0] == '-' && IsDigit(text[1]) ? 1 : 0;
  const int32_t grouped = len - sign;
  int32_t separators = 0;
  int32_t lead = 0;
  if (field.group && grouped > 0) {
    separators = (grouped - 1) / 3;
    lead = grouped % 3;
  }
  const char pad = field.zero ? '0' : ' ';
  int64_t padding = static_cast<int64_t>(field.width) - len - separators;
  if (!field.left) {
    for (; padding > 0; --padding) {
      if (!out.Put(pad)) return false;
    }
  }

  const bool fits = static_cast<int64_t>(len) + separators <= out.room;
  int32_t count = len;
  if (!fits) count = out.room > separators ? out.room - separators : 0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t at = i - sign;
    if (separators > 0 && at > 0 && at >= lead && (at - lead) % 3 == 0) out.Put('.');
    out.Put(text[i]);
  }
  if (!fits) return false;

  if (field.left) {
    for (; padding > 0; --padding) {
      if (!out.Put(pad)) return false;
    }
  }
  return true;
}

// False when the output ended before the format did.
bool Expand(Output& out, ArgCursor& args, const char* format) {
  char work[kFormatWorkSize];
  for (;;) {
    const char c = *format++;
    if (c == 0) return true;
    if (c == '\n') {
      if (!out.Put('\r') || !out.Put('\n')) return false;
      continue;
    }
    if (c != '%') {
      // The text up to the next directive or line end goes out in one copy.
      const char* run = format - 1;
      while (*format != 0 && *format != '%' && *format != '\n') ++format;
      if (!out.PutRun(run, static_cast<int32_t>(format - run))) return false;
      continue;
    }

    // Flags in their fixed order only: anything else is the letter.
    Field field = {};
    if (*format == '-') {
      field.left = true;
      ++format;
    }
    if (*format == '$') {
      field.group = true;
      ++format;
    }
    if (*format == '0') {
      field.zero = true;
      ++format;
    }
    while (IsDigit(*format))
      field.width = field.width * 10 + static_cast<uint32_t>(*format++ - '0');
    char letter = *format;
    if (letter == 0) return true;
    ++format;

    const char* text = work;
    int32_t len = 0;
    switch (letter) {
    case '%':
      if (!out.Put('%')) return false;
      continue;
    case 'c': {
      const char ch = static_cast<char>(NextSlot(args));
      if (ch != 0 && !out.Put(ch)) return false;
      continue;
    }
    case 'd':
    case 'u':
    case 'x':
    case 'X':
      len = IntegerText(letter, args, work);
      break;
    case 'p':
      len = PointerText(NextPointer(args), work);
      break;
    case 's':
      text = static_cast<const char*>(NextPointer(args));
      if (text == nullptr) text = kNullText;
      len = static_cast<int32_t>(StrLen(text));
      break;
    case 'l':
    case 'L': {
      letter = *format;
      if (letter == 0) return true;
      ++format;
      if (letter == 's') {
        const uint16_t* wide = static_cast<const uint16_t*>(NextPointer(args));
        if (wide == nullptr) {
          text = kNullText;
          len = sizeof kNullText - 1;
        } else {
          len = WideText(wide, work);
        }
        break;
      }
      len = IntegerText(letter, args, work);
      if (len < 0) continue;
      break;
    }
    default: {
      const FormatDirectiveHandler handler = FindExtraDirective(letter);
      if (handler == nullptr) continue;
      work[0] = 0;
      len = handler(&format, work, kFormatWorkSize, &args);
      // A handler may not claim more than it could have written.
      if (len < 0) len = 0;
      if (len > kFormatWorkSize - 1) len = kFormatWorkSize - 1;
      break;
    }
    }
    if (!PlaceField(out, field, text, len)) return false;
  }
}

} // namespace

bool FormatText(char* dst, ArgCursor args, int32_t size, const char* format) {
  if (size <= 0) return false;
  Output out = {dst, size - 1};
  const bool complete = Expand(out, args, format);
  *out.at = 0;
  return complete;
}

bool FormatString(char* dst, int32_t size, const char* format, ...) {
  ArgCursor args;
  __builtin_va_start(args.list, format);
  const bool complete = FormatText(dst, args, size, format);
  __builtin_va_end(args.list);
  return complete;
}

bool RegisterFormatDirective(char letter, FormatDirectiveHandler handler) {
  // A slot is free while its handler is null, so a null handler could never be called anyway.
  if (handler == nullptr) return false;
  for (ExtraDirective& slot : gExtraDirectives) {
    if (slot.handler == nullptr) {
      slot.letter = letter;
      slot.handler = handler;
      return true;
    }
    if (slot.handler == handler && slot.letter == letter) return true;
  }
  return false;
}

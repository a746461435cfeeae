// Console input records from a terminal. ReadConsoleInputA puts the terminal into raw mode for
// one read, turns the bytes it gets into key records - a press and a release for every key -
// and leaves the rest queued for the next call.
//
// What a terminal cannot tell, and so never arrives: presses of Shift, Ctrl and Alt alone,
// releases at the moment they happen (each release follows its press at once), scan codes,
// mouse, focus, menu and window-size events. Virtual-key codes are given for letters, digits,
// the blank, Enter, Tab, Backspace, Escape, the arrows, the editing keys and F1 to F12; other
// characters come with code 0, since their key depends on the keyboard layout. Bytes above 127
// arrive one record each, as the terminal's encoding sends them. Ctrl+C is processed input, as
// on Windows: it raises SIGINT instead of making a record. A process outside the terminal's
// foreground group is stopped by the terminal when it reads, as every Unix program is.
#include "winposix/console_input.h"
#include "winposix/fd_handles.h"
#include "winposix/internal.h"

#include <cerrno>
#include <csignal>
#include <deque>
#include <map>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

struct Key {
  WORD code;
  uint8_t character;
  DWORD state;
};

// The rest of an escape sequence follows its first byte at once; a lone Escape key does not.
constexpr int kSequenceWaitMs = 50;

std::mutex readLock;  // one reader of the terminal at a time
std::mutex queueLock; // guards the queues
std::map<int, std::deque<INPUT_RECORD>>& Queues() {
  static auto* queues = new std::map<int, std::deque<INPUT_RECORD>>;
  return *queues;
}

Key FromByte(uint8_t c) {
  switch (c) {
  case '\r':
    return {VK_RETURN, c, 0};
  case '\n':
    return {VK_RETURN, c, LEFT_CTRL_PRESSED};
  case '\t':
    return {VK_TAB, c, 0};
  case 0x08:
  case 0x7F:
    return {VK_BACK, 0x08, 0};
  case 0x1B:
    return {VK_ESCAPE, c, 0};
  case 0:
    return {VK_SPACE, 0, LEFT_CTRL_PRESSED}; // Ctrl+Space
  case ' ':
    return {VK_SPACE, c, 0};
  default:
    break;
  }
  if (c >= 1 && c <= 26) return {static_cast<WORD>('A' + c - 1), c, LEFT_CTRL_PRESSED};
  if (c < 0x20) return {0, c, LEFT_CTRL_PRESSED};
  if (c >= '0' && c <= '9') return {c, c, 0};
  if (c >= 'a' && c <= 'z') return {static_cast<WORD>(c - 'a' + 'A'), c, 0};
  if (c >= 'A' && c <= 'Z') return {c, c, SHIFT_PRESSED};
  return {0, c, 0};
}

WORD TildeKey(unsigned number) {
  switch (number) {
  case 1:
  case 7:
    return VK_HOME;
  case 2:
    return VK_INSERT;
  case 3:
    return VK_DELETE;
  case 4:
  case 8:
    return VK_END;
  case 5:
    return VK_PRIOR;
  case 6:
    return VK_NEXT;
  default:
    break;
  }
  if (number >= 11 && number <= 15) return static_cast<WORD>(VK_F1 + number - 11);
  if (number >= 17 && number <= 21) return static_cast<WORD>(VK_F1 + 5 + number - 17);
  if (number == 23 || number == 24) return static_cast<WORD>(VK_F1 + 10 + number - 23);
  return 0;
}

// A key sent as ESC [ or ESC O, with its final byte and numeric parameters. None of these has a
// character but Shift+Tab.
Key SequenceKey(uint8_t final, unsigned first, unsigned modifiers) {
  Key key = {0, 0, 0};
  switch (final) {
  case 'A':
    key.code = VK_UP;
    break;
  case 'B':
    key.code = VK_DOWN;
    break;
  case 'C':
    key.code = VK_RIGHT;
    break;
  case 'D':
    key.code = VK_LEFT;
    break;
  case 'H':
    key.code = VK_HOME;
    break;
  case 'F':
    key.code = VK_END;
    break;
  case 'P':
  case 'Q':
  case 'R':
  case 'S':
    key.code = static_cast<WORD>(VK_F1 + final - 'P');
    break;
  case 'Z':
    return {VK_TAB, '\t', SHIFT_PRESSED};
  case '~':
    key.code = TildeKey(first);
    break;
  default:
    break;
  }
  if (modifiers >= 2) {
    const unsigned bits = modifiers - 1;
    if (bits & 1) key.state |= SHIFT_PRESSED;
    if (bits & 2) key.state |= LEFT_ALT_PRESSED;
    if (bits & 4) key.state |= LEFT_CTRL_PRESSED;
  }
  return key;
}

// The key at the start of bytes and the number of bytes it takes. A sequence cut off at the end
// gives 0 unless complete says no more bytes will come; then its ESC is the Escape key.
size_t DecodeKey(const uint8_t* bytes, size_t count, bool complete, Key* key) {
  if (bytes[0] != 0x1B) {
    *key = FromByte(bytes[0]);
    return 1;
  }
  if (count == 1) {
    if (!complete) return 0;
    *key = FromByte(0x1B);
    return 1;
  }
  if (bytes[1] != '[' && bytes[1] != 'O') { // Alt and a key
    *key = FromByte(bytes[1]);
    key->state |= LEFT_ALT_PRESSED;
    return 2;
  }
  size_t at = 2;
  unsigned numbers[2] = {0, 0};
  size_t index = 0;
  if (bytes[1] == '[') {
    for (; at < count && bytes[at] >= 0x20 && bytes[at] <= 0x3F; ++at) {
      const uint8_t c = bytes[at];
      if (c >= '0' && c <= '9' && index < 2 && numbers[index] < 1000)
        numbers[index] = numbers[index] * 10 + (c - '0');
      else if (c == ';')
        ++index;
    }
  }
  if (at >= count || bytes[at] < 0x40 || bytes[at] > 0x7E) {
    if (at >= count && !complete) return 0;
    *key = FromByte(0x1B);
    return 1;
  }
  *key = SequenceKey(bytes[at], numbers[0], numbers[1]);
  return at + 1;
}

bool MoreWithin(int fd, int milliseconds) {
  pollfd wait = {fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&wait, 1, milliseconds);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

// Raw mode for one read: no line editing, no echo, no signal characters, no flow control.
class RawMode {
public:
  explicit RawMode(int fd) : fd_(fd) {
    saved_ok_ = tcgetattr(fd, &saved_) == 0;
    Enter();
  }
  ~RawMode() { Leave(); }
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;

  void Enter() {
    if (!saved_ok_) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd_, TCSANOW, &raw);
  }
  void Leave() {
    if (saved_ok_) tcsetattr(fd_, TCSANOW, &saved_);
  }
  // The interrupt character, when the terminal had signals on.
  bool Interrupts(uint8_t c) const {
    return saved_ok_ && (saved_.c_lflag & ISIG) != 0 && saved_.c_cc[VINTR] != _POSIX_VDISABLE &&
           c == saved_.c_cc[VINTR];
  }

private:
  int fd_;
  bool saved_ok_ = false;
  termios saved_;
};

// Reads until at least one key has come; false with the error set when the read fails.
bool ReadKeys(int fd, std::vector<Key>* keys) {
  RawMode raw(fd);
  uint8_t buffer[64];
  size_t count = 0;
  while (keys->empty() || count > 0) {
    ssize_t n;
    do {
      n = read(fd, buffer + count, sizeof buffer - count);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
      SetLastError(n == 0 ? ERROR_BROKEN_PIPE : winposix::ErrorFromErrno(errno));
      return false;
    }
    count += static_cast<size_t>(n);
    size_t at = 0;
    while (at < count) {
      if (raw.Interrupts(buffer[at])) {
        // The terminal as it was while the signal's action runs, which ends the process
        // unless the program handles or ignores it.
        raw.Leave();
        raise(SIGINT);
        raw.Enter();
        ++at;
        continue;
      }
      Key key;
      size_t used = DecodeKey(buffer + at, count - at, false, &key);
      if (used == 0 && count < sizeof buffer && MoreWithin(fd, kSequenceWaitMs)) break;
      if (used == 0) used = DecodeKey(buffer + at, count - at, true, &key);
      keys->push_back(key);
      at += used;
    }
    for (size_t i = at; i < count; ++i) buffer[i - at] = buffer[i];
    count -= at;
  }
  return true;
}

INPUT_RECORD Record(const Key& key, bool down) {
  INPUT_RECORD record = {};
  record.EventType = KEY_EVENT;
  KEY_EVENT_RECORD& event = record.Event.KeyEvent;
  event.bKeyDown = down ? TRUE : FALSE;
  event.wRepeatCount = 1;
  event.wVirtualKeyCode = key.code;
  event.uChar.UnicodeChar = 0;
  event.uChar.AsciiChar = static_cast<CHAR>(key.character);
  event.dwControlKeyState = key.state;
  return record;
}

} // namespace

namespace winposix {

void ForgetConsoleInput(int fd) {
  std::lock_guard<std::mutex> hold(queueLock);
  Queues().erase(fd);
}

} // namespace winposix

extern "C" BOOL WINAPI ReadConsoleInputA(HANDLE input, PINPUT_RECORD buffer, DWORD length,
                                         LPDWORD read) {
  if (read != nullptr) *read = 0;
  const int fd = winposix::FdFromHandle(input);
  if (fd < 0 || isatty(fd) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (length == 0) return TRUE;
  std::lock_guard<std::mutex> reading(readLock);
  bool empty;
  {
    std::lock_guard<std::mutex> hold(queueLock);
    empty = Queues()[fd].empty();
  }
  std::vector<Key> keys;
  if (empty && !ReadKeys(fd, &keys)) return FALSE;
  std::lock_guard<std::mutex> hold(queueLock);
  std::deque<INPUT_RECORD>& queue = Queues()[fd];
  for (const Key& key : keys) {
    queue.push_back(Record(key, true));
    queue.push_back(Record(key, false));
  }
  DWORD given = 0;
  for (; given < length && !queue.empty(); ++given) {
    buffer[given] = queue.front();
    queue.pop_front();
  }
  if (read != nullptr) *read = given;
  return TRUE;
}

// Fakes of what only Windows has, put over the layer's plain answers with winposix::Override for
// one test (winposix::ResetAll takes them away): a speaker and message boxes that record their
// calls, and a registry that holds the keys a test gives it.
#pragma once

#include "winposix/testctl.h"
#include "winposix/win32.h"

#include <cctype>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace fakes {

struct BeepCall {
  unsigned frequency, duration;
};
struct MessageBoxCall {
  std::string text, caption;
  unsigned style;
};

struct Recorded {
  static inline std::mutex lock;
  static inline std::vector<BeepCall> beeps;
  static inline std::vector<MessageBoxCall> boxes;
};

template <typename T> std::vector<T> Copy(const std::vector<T>& calls) {
  std::lock_guard<std::mutex> hold(Recorded::lock);
  return calls;
}
inline std::vector<BeepCall> Beeps() {
  return Copy(Recorded::beeps);
}
inline std::vector<MessageBoxCall> Boxes() {
  return Copy(Recorded::boxes);
}

inline void RecordUserInterface() {
  Recorded::beeps.clear();
  Recorded::boxes.clear();
  winposix::Override(
      "Beep", +[](DWORD frequency, DWORD duration) -> BOOL {
        std::lock_guard<std::mutex> hold(Recorded::lock);
        Recorded::beeps.push_back({frequency, duration});
        return TRUE;
      });
  winposix::Override(
      "MessageBoxA", +[](HWND, LPCSTR text, LPCSTR caption, UINT style) -> int {
        std::lock_guard<std::mutex> hold(Recorded::lock);
        Recorded::boxes.push_back({text ? text : "", caption ? caption : "", style});
        return 1; // IDOK
      });
}

// Keys are (root, path in lower case: Windows compares names without case). A handle is the
// address of a slot, so their count bounds the keys open at once.
struct Registry {
  static inline std::set<std::pair<HKEY, std::string>> keys;
  static inline std::set<HKEY> open;
  static inline char slots[64];

  static std::string Lower(std::string path) {
    for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return path;
  }
};

// A registry holding the keys given and every parent of each ("a\b" holds "a" too).
inline void InstallRegistry(const std::vector<std::pair<HKEY, std::string>>& keys) {
  Registry::keys.clear();
  Registry::open.clear();
  for (const auto& [root, path] : keys)
    for (std::string key = Registry::Lower(path); !key.empty();
         key.resize(key.find('\\') == std::string::npos ? 0 : key.rfind('\\')))
      Registry::keys.insert({root, key});
  winposix::Override(
      "RegOpenKeyExA", +[](HKEY root, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
        *result = nullptr;
        if (Registry::keys.count({root, Registry::Lower(subKey)}) == 0)
          return LONG{ERROR_FILE_NOT_FOUND};
        for (char& slot : Registry::slots)
          if (Registry::open.insert(*result = reinterpret_cast<HKEY>(&slot)).second) return LONG{0};
        return LONG{ERROR_NOT_ENOUGH_MEMORY};
      });
  winposix::Override(
      "RegCloseKey", +[](HKEY key) {
        return Registry::open.erase(key) != 0 ? LONG{ERROR_SUCCESS} : LONG{ERROR_INVALID_HANDLE};
      });
}

// Keys opened and not yet closed.
inline size_t OpenKeys() {
  return Registry::open.size();
}

} // namespace fakes

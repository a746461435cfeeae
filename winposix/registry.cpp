// The registry, emulated: Linux has none. It starts empty, so the keys that mark Wine or a
// preinstallation environment are absent, and holds what tests add. Names compare without
// regard to case, as in Windows; a key handle is a pointer the layer hands out.
#include "winposix/internal.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace {

std::mutex registryLock;
std::set<std::pair<int, std::string>> keys; // (root, lower-case path)
std::set<HKEY> openKeys;
char handles[64]; // a handle is the address of one of these; their count bounds open keys

int RootIndex(HKEY root) {
  if (root == HKEY_CURRENT_USER) return static_cast<int>(winposix::RegistryRoot::CurrentUser);
  if (root == HKEY_LOCAL_MACHINE) return static_cast<int>(winposix::RegistryRoot::LocalMachine);
  return -1;
}

std::string Lower(std::string path) {
  std::transform(path.begin(), path.end(), path.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return path;
}

} // namespace

namespace winposix {

void AddRegistryKey(RegistryRoot root, const char* path) {
  std::lock_guard<std::mutex> hold(registryLock);
  std::string key = Lower(path);
  // Every parent exists with its child: "a\b\c" adds "a\b" and "a".
  while (!key.empty()) {
    keys.insert({static_cast<int>(root), key});
    const size_t cut = key.rfind('\\');
    key.resize(cut == std::string::npos ? 0 : cut);
  }
}

unsigned OpenRegistryKeys() {
  std::lock_guard<std::mutex> hold(registryLock);
  return static_cast<unsigned>(openKeys.size());
}

void ResetRegistry() {
  std::lock_guard<std::mutex> hold(registryLock);
  keys.clear();
  openKeys.clear();
}

} // namespace winposix

extern "C" LONG WINAPI RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD, REGSAM, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  const int index = RootIndex(root);
  if (index < 0) return ERROR_INVALID_HANDLE;
  std::lock_guard<std::mutex> hold(registryLock);
  const std::string path = Lower(subKey != nullptr ? subKey : "");
  if (!path.empty() && keys.count({index, path}) == 0) return ERROR_FILE_NOT_FOUND;
  for (char& slot : handles) {
    HKEY handle = reinterpret_cast<HKEY>(&slot);
    if (openKeys.insert(handle).second) {
      *result = handle;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_NOT_ENOUGH_MEMORY;
}

extern "C" LONG WINAPI RegCloseKey(HKEY key) {
  std::lock_guard<std::mutex> hold(registryLock);
  return openKeys.erase(key) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

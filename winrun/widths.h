// Values crossing between the program's 32-bit slots and the layer's 64-bit types. An address
// or handle widens by zero extension, except the top 64 KiB of the 32-bit space, which no
// mapping holds and where the pseudo-handles (-1, -2, ...) live: those extend their sign. Every
// value the program receives must narrow back without loss.
#pragma once

#include "winposix/api.h"

#include <cstring>
#include <type_traits>
#include <utility>

namespace winrun {

[[noreturn]] void Fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

constexpr uint32_t kSignedFrom = 0xFFFF0000u;

inline uint64_t Widen(uint32_t value) {
  return value >= kSignedFrom ? static_cast<uint64_t>(static_cast<int32_t>(value)) : value;
}

inline uint32_t Narrow(uint64_t value) {
  if (value < kSignedFrom || value >= (~0ull << 16)) return static_cast<uint32_t>(value);
  Fatal("an address or handle above 4 GiB (0x%llx) was to reach the program",
        static_cast<unsigned long long>(value));
}

template <typename T> T* Pointer(uint32_t value) {
  return reinterpret_cast<T*>(Widen(value));
}

inline uint32_t Address(const void* pointer) {
  return Narrow(reinterpret_cast<uintptr_t>(pointer));
}

// Records whose layout differs by width reach the layer only through an adapter of their own.
template <typename T>
constexpr bool kDiffersByWidth =
    std::is_pointer_v<T> || std::is_same_v<std::remove_cv_t<T>, uintptr_t> ||
    std::is_same_v<std::remove_cv_t<T>, intptr_t> || std::is_same_v<T, SYSTEM_INFO> ||
    std::is_same_v<T, PROCESSENTRY32> || std::is_same_v<T, CRITICAL_SECTION> ||
    std::is_same_v<T, PROCESS_BASIC_INFORMATION> || std::is_same_v<T, EXCEPTION_POINTERS>;

// A record the layer takes but does not read; it gets a copy in its own layout all the same.
inline SECURITY_ATTRIBUTES* SecurityFromSlot(uint32_t value) {
  if (value == 0) return nullptr;
  thread_local SECURITY_ATTRIBUTES wide;
  const uint32_t* narrow = Pointer<uint32_t>(value);
  wide = {sizeof wide, Pointer<void>(narrow[1]), static_cast<BOOL>(narrow[2])};
  return &wide;
}

inline OVERLAPPED* OverlappedFromSlot(uint32_t value) {
  if (value == 0) return nullptr;
  thread_local OVERLAPPED wide;
  const uint32_t* narrow = Pointer<uint32_t>(value);
  wide = {};
  wide.Offset = narrow[2];
  wide.OffsetHigh = narrow[3];
  wide.hEvent = Pointer<void>(narrow[4]);
  return &wide;
}

template <typename T> T FromSlot(uint32_t value) {
  if constexpr (std::is_same_v<T, LPSECURITY_ATTRIBUTES>) {
    return SecurityFromSlot(value);
  } else if constexpr (std::is_same_v<T, LPOVERLAPPED>) {
    return OverlappedFromSlot(value);
  } else if constexpr (std::is_pointer_v<T>) {
    static_assert(!kDiffersByWidth<std::remove_pointer_t<T>>, "needs an adapter of its own");
    return reinterpret_cast<T>(Widen(value));
  } else if constexpr (std::is_integral_v<T>) {
    if constexpr (std::is_signed_v<T>) return static_cast<T>(static_cast<int32_t>(value));
    return static_cast<T>(value);
  } else {
    static_assert(sizeof(T) == 4, "a small record passed by value");
    T record;
    std::memcpy(&record, &value, sizeof record);
    return record;
  }
}

template <typename T> uint64_t ToSlot(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return Narrow(reinterpret_cast<uintptr_t>(value));
  } else if constexpr (std::is_integral_v<T>) {
    return static_cast<uint32_t>(value);
  } else {
    static_assert(sizeof(T) == 4, "a small record returned in EAX");
    uint32_t slot;
    std::memcpy(&slot, &value, sizeof slot);
    return slot;
  }
}

// An adapter takes the program's argument slots and returns EAX (and EDX in the high half).
using Adapter = uint64_t (*)(const uint32_t* args);

// The adapter of a layer function whose arguments all convert slot by slot.
template <auto Function> struct SlotAdapter;
template <typename R, typename... A, R (*Function)(A...)> struct SlotAdapter<Function> {
  static constexpr unsigned kArgumentBytes = 4 * sizeof...(A);
  static uint64_t Call(const uint32_t* args) {
    return Expand(args, std::index_sequence_for<A...>{});
  }
  template <size_t... I> static uint64_t Expand(const uint32_t* args, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<R>) {
      Function(FromSlot<A>(args[I])...);
      return 0;
    } else {
      return ToSlot<R>(Function(FromSlot<A>(args[I])...));
    }
  }
};

} // namespace winrun

// Runtime options: "-~name" or "-~name:value" from the command line and from "_GlobSysArgs_".
#pragma once

#include "runtime/startup/option_names.h"

#include <stdint.h>

enum FindOptionFlags : uint8_t {
  kFindUnscramble = 1, // the name is stored scrambled
  kFindNoTrace = 2,    // never shows "Checking: -~" for this lookup
};

// True when the option is present; *value (when given) receives its value text, owned by the
// option list ("" for an option without ":"), or null when it is absent.
bool FindOption(const char* name, const char** value, uint8_t flags);

// Releases the option list. The first entry of each named option (names stored scrambled) is
// kept in static storage, where FindOption still finds it, until ForgetKeptOptions.
void ReleaseOptionsKeeping(const char* const* names, uint32_t count);
void ForgetKeptOptions();

// Adds the "-~" tokens of the environment variable "_GlobSysArgs_" behind the command line's.
void AddEnvOptions();

// The usual lookup of a scrambled option name.
template <size_t N> bool HasOption(const ScrambledName<N>& name, const char** value = nullptr) {
  return FindOption(name.bytes, value, kFindUnscramble);
}

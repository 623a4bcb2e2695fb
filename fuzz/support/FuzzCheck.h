// What a fuzz target checks beyond "does not crash": a broken rule aborts with its message, so
// libFuzzer keeps the input as a crash and the replay test fails.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace magnifex_fuzz {

[[noreturn]] inline void fail(const std::string& what)
{
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

inline void expect(bool holds, const char* rule)
{
  if (!holds)
    fail(rule);
}

} // namespace magnifex_fuzz

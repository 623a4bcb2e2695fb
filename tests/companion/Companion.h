// Paths of the companion libraries built for the tests, and small file helpers.
#pragma once

#include <gtest/gtest.h>

#include "common/ScratchDir.h"

#include <filesystem>
#include <map>
#include <string>

namespace magnifex::test {

// The built companion library of an instance ("tiny", "broken-still-701", ...); empty when that
// instance was not built.
inline std::string companion_path(const std::string& name)
{
  static const std::map<std::string, std::string> built = {
#ifdef MAGNIFEX_COMPANION_TINY
    {"tiny", MAGNIFEX_COMPANION_TINY},
#endif
#ifdef MAGNIFEX_COMPANION_BROKEN_STILL_701
    {"broken-still-701", MAGNIFEX_COMPANION_BROKEN_STILL_701},
#endif
#ifdef MAGNIFEX_COMPANION_BROKEN_SEQ2X_72
    {"broken-seq2x-72", MAGNIFEX_COMPANION_BROKEN_SEQ2X_72},
#endif
#ifdef MAGNIFEX_COMPANION_BROKEN_EMPTY_STILL
    {"broken-empty-still", MAGNIFEX_COMPANION_BROKEN_EMPTY_STILL},
#endif
#ifdef MAGNIFEX_COMPANION_BROKEN_EMPTY_PLATES_SEQ
    {"broken-empty-plates-seq", MAGNIFEX_COMPANION_BROKEN_EMPTY_PLATES_SEQ},
#endif
#ifdef MAGNIFEX_COMPANION_BROKEN_MISSING_4CGSTG
    {"broken-missing-4CGstG", MAGNIFEX_COMPANION_BROKEN_MISSING_4CGSTG},
#endif
#ifdef MAGNIFEX_COMPANION_BROKEN_MISSING_FLOW_AND_4X
    {"broken-missing-flow-and-4x", MAGNIFEX_COMPANION_BROKEN_MISSING_FLOW_AND_4X},
#endif
  };
  const auto found = built.find(name);
  return found == built.end() ? std::string() : found->second;
}

// Declares `var` as the path of a built companion, or skips the test.
#define MAGNIFEX_COMPANION_OR_SKIP(var, name)                                                                          \
  const std::string var = ::magnifex::test::companion_path(name);                                                      \
  if (var.empty())                                                                                                     \
  GTEST_SKIP() << "companion " << (name) << " is not built"

} // namespace magnifex::test

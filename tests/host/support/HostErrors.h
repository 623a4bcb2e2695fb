// The kind of HostError a call throws, for tests of the host runtime's failures.
#pragma once

#include <functional>

#include <gtest/gtest.h>

#include "runtime/HostError.h"

namespace test_support {

inline host_runtime::HostError::Kind hostErrorKind(const std::function<void()>& f)
{
  try {
    f();
  } catch (const host_runtime::HostError& e) {
    return e.kind();
  }
  ADD_FAILURE() << "no HostError";
  return host_runtime::HostError::Kind::Script;
}

} // namespace test_support

#include "runtime/LiveTemporaries.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace host_runtime {
namespace {

struct Slot {
  std::atomic<int> state{0}; // 0 free, 1 being filled, 2 holds a path
  std::array<char, 4096> path{};
};
std::array<Slot, 64> liveTemporaries;

} // namespace

void rememberLiveTemporary(const std::string& path)
{
  if (path.size() >= liveTemporaries[0].path.size())
    return;
  for (Slot& slot : liveTemporaries) {
    int expected = 0;
    if (!slot.state.compare_exchange_strong(expected, 1))
      continue;
    std::memcpy(slot.path.data(), path.c_str(), path.size() + 1);
    slot.state.store(2);
    return;
  }
}

void forgetLiveTemporary(const std::string& path)
{
  for (Slot& slot : liveTemporaries) {
    int expected = 2;
    if (slot.state.load() != 2 || path != slot.path.data())
      continue;
    if (slot.state.compare_exchange_strong(expected, 1)) {
      slot.path[0] = '\0';
      slot.state.store(0);
    }
    return;
  }
}

void removeOwnTemporariesNow()
{
  for (Slot& slot : liveTemporaries)
    if (slot.state.load() == 2) {
#if defined(_WIN32)
      std::remove(slot.path.data());
#else
      ::unlink(slot.path.data());
#endif
    }
}

} // namespace host_runtime

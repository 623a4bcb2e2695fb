// Node classes registered by plug-ins, and the host's allocator for ops.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "DDImage/Iop.h"
#include "DDImage/Op.h"
#include "DDImageHost/Process.h"

namespace DD {
namespace Image {
namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, const Op::Description*> byName;
};

Registry& registry()
{
  static Registry r;
  return r;
}

void registerDescription(const Op::Description* d)
{
  if (!d->name)
    return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.byName[d->name] = d; // a plug-in loaded later replaces an earlier class of the same name
}

std::atomic<int> g_failingAllocations{0};

} // namespace

Op::Description::Description(const char* name, const char* menu, OpConstructor constructor)
    : name(name), menu(menu), op_constructor_(constructor), iop_constructor_(nullptr)
{
  registerDescription(this);
}

Op::Description::Description(const char* name, const char* menu, IopConstructor constructor)
    : name(name), menu(menu), op_constructor_(nullptr), iop_constructor_(constructor)
{
  registerDescription(this);
}

// Runs when a plug-in file is unloaded: its description must not be found any more.
Op::Description::~Description()
{
  if (!name)
    return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.byName.find(name);
  if (it != r.byName.end() && it->second == this)
    r.byName.erase(it);
}

Op* Op::Description::build(Node* node) const
{
  if (op_constructor_)
    return op_constructor_(node);
  if (iop_constructor_)
    return iop_constructor_(node);
  return nullptr;
}

const Op::Description* Op::Description::find(const char* name)
{
  if (!name)
    return nullptr;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.byName.find(name);
  return it == r.byName.end() ? nullptr : it->second;
}

void* Op::operator new(std::size_t size) noexcept
{
  int failing = g_failingAllocations.load();
  while (failing > 0) {
    if (g_failingAllocations.compare_exchange_weak(failing, failing - 1))
      return nullptr;
  }
  return std::malloc(size ? size : 1);
}

void Op::operator delete(void* p)
{
  std::free(p);
}

namespace host {

std::vector<std::string> registeredClasses()
{
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::vector<std::string> names;
  for (const auto& entry : r.byName)
    names.push_back(entry.first);
  return names;
}

void failNextAllocations(int count)
{
  g_failingAllocations = std::max(count, 0);
}

} // namespace host
} // namespace Image
} // namespace DD

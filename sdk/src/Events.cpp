#include <atomic>
#include <memory>
#include <mutex>

#include "DDImageHost/Events.h"

namespace DD {
namespace Image {
namespace host {
namespace {

struct Listeners {
  std::mutex mutex;
  std::vector<std::pair<int, std::shared_ptr<EventListener>>> list;
  int nextId = 1;
  std::atomic<int> count{0};
};

Listeners& listeners()
{
  static Listeners l;
  return l;
}

} // namespace

const EventValue* Event::find(const std::string& key) const
{
  for (const auto& f : fields)
    if (f.first == key)
      return &f.second;
  return nullptr;
}

int addEventListener(EventListener listener)
{
  Listeners& l = listeners();
  std::lock_guard<std::mutex> lock(l.mutex);
  const int id = l.nextId++;
  l.list.emplace_back(id, std::make_shared<EventListener>(std::move(listener)));
  l.count = int(l.list.size());
  return id;
}

void removeEventListener(int id)
{
  Listeners& l = listeners();
  std::lock_guard<std::mutex> lock(l.mutex);
  for (auto it = l.list.begin(); it != l.list.end(); ++it) {
    if (it->first == id) {
      l.list.erase(it);
      break;
    }
  }
  l.count = int(l.list.size());
}

void emit(const Event& event)
{
  Listeners& l = listeners();
  std::vector<std::shared_ptr<EventListener>> snapshot;
  {
    std::lock_guard<std::mutex> lock(l.mutex);
    for (const auto& entry : l.list)
      snapshot.push_back(entry.second);
  }
  // Called without the lock: a listener may emit events or (un)register listeners itself.
  for (const auto& listener : snapshot)
    (*listener)(event);
}

bool hasEventListeners()
{
  return listeners().count.load(std::memory_order_relaxed) > 0;
}

} // namespace host
} // namespace Image
} // namespace DD

#include "log/WaitingItems.h"

#include <map>
#include <mutex>
#include <vector>

#include "item/CTAVDiagnosticLogItem.h"

namespace hv {
namespace WaitingItems {
namespace {

// The registry holds a counted reference to every waiting copy, so an answer
// that finds a copy here always finds it alive; once a delivery unregisters
// its copy, a late answer finds nothing.
struct Registry {
  std::mutex mutex;
  std::map<LONG, ComPtr<CTAVDiagnosticLogItem>> byId;
  std::map<CTAVDiagnosticLogItem*, LONG> idOf;
  std::map<LONG, const void*> connectionOf;
  LONG lastId = 0;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

LONG Register(CTAVDiagnosticLogItem* item) {
  if (!item) return 0;
  Registry& registry = TheRegistry();
  try {
    std::lock_guard<std::mutex> lock(registry.mutex);
    // Ids count up and wrap; 0 is never handed out (an answer carrying 0 is
    // rejected), nor an id still in use after a wrap.
    LONG id = registry.lastId;
    do {
      id = static_cast<LONG>(static_cast<ULONG>(id) + 1u);
    } while (id == 0 || registry.byId.count(id) != 0);
    registry.byId.emplace(id, ComPtr<CTAVDiagnosticLogItem>(item));
    registry.idOf[item] = id;
    registry.lastId = id;
    return id;
  } catch (...) {
    return 0;
  }
}

LONG IdOf(CTAVDiagnosticLogItem* item) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto found = registry.idOf.find(item);
  return found == registry.idOf.end() ? 0 : found->second;
}

ComPtr<CTAVDiagnosticLogItem> Find(LONG id) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  const auto found = registry.byId.find(id);
  return found == registry.byId.end() ? nullptr : found->second;
}

void Unregister(LONG id) {
  ComPtr<CTAVDiagnosticLogItem> item;
  Registry& registry = TheRegistry();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto found = registry.byId.find(id);
    if (found == registry.byId.end()) return;
    item = std::move(found->second);
    registry.byId.erase(found);
    registry.idOf.erase(item.get());
    registry.connectionOf.erase(id);
  }
  // The reference goes outside the registry's lock: it may be the last one.
}

void SentThrough(LONG id, const void* connection) {
  Registry& registry = TheRegistry();
  try {
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (registry.byId.count(id)) registry.connectionOf[id] = connection;
  } catch (...) {
    // Not remembered: the copy waits out its own time-out.
  }
}

size_t EndWaitsThrough(const void* connection) {
  std::vector<ComPtr<CTAVDiagnosticLogItem>> ended;
  Registry& registry = TheRegistry();
  {
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const auto& entry : registry.connectionOf)
      if (entry.second == connection) ended.push_back(registry.byId[entry.first]);
  }
  // Signalled as a cancel is, under the copy's lock: the delivering thread
  // forgets the event under the same lock before it lets it go.
  for (const auto& item : ended) item->SignalCompletion();
  return ended.size();
}

}  // namespace WaitingItems
}  // namespace hv

#include "index/core/structures/id_allocator.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace zarvex {

namespace {
std::atomic<uint32_t> GLOBAL_ID_COUNTER{1};

struct FreeIds {
  std::mutex mutex;
  std::vector<uint32_t> ids;
};

FreeIds& FREE_IDS() {
  static FreeIds* f = new FreeIds();  // never destroyed: ids may be released during interpreter teardown
  return *f;
}
}  // namespace

uint32_t allocate_id() {
  FreeIds& f = FREE_IDS();
  {
    std::lock_guard<std::mutex> g(f.mutex);
    if (!f.ids.empty()) {
      uint32_t id = f.ids.back();
      f.ids.pop_back();
      return id;
    }
  }
  return GLOBAL_ID_COUNTER.fetch_add(1, std::memory_order_relaxed);
}

void release_id(uint32_t id) {
  FreeIds& f = FREE_IDS();
  std::lock_guard<std::mutex> g(f.mutex);
  f.ids.push_back(id);
}

}  // namespace zarvex

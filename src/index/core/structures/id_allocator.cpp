#include "index/core/structures/id_allocator.hpp"

#include <atomic>
#include <iterator>
#include <map>
#include <mutex>
#include <vector>

namespace zarvex {

namespace {
std::atomic<uint32_t> GLOBAL_ID_COUNTER{1};

// Released ids. The most recent kRecent releases form an exact stack, so
// ids come back last-in, first-out; older releases (reached only when more
// than kRecent ids are free at once, after a large structure was freed) move
// to a set of disjoint ranges and are reused lowest first once the stack is
// empty. Objects freed together release neighbouring ids, so millions of
// free ids take a few ranges: their memory does not stay behind.
struct FreeIds {
  static constexpr size_t kRecent = size_t{1} << 14;
  std::mutex mutex;
  std::vector<uint32_t> recent;
  std::map<uint32_t, uint32_t> older;  // first id -> last id, disjoint, not adjacent

  bool empty() const { return recent.empty() && older.empty(); }
  void push(uint32_t id) {
    if (recent.size() == kRecent) {
      for (size_t i = 0; i < kRecent / 2; ++i) add_older(recent[i]);
      recent.erase(recent.begin(), recent.begin() + kRecent / 2);
    }
    recent.push_back(id);
  }
  uint32_t pop() {
    if (!recent.empty()) {
      const uint32_t id = recent.back();
      recent.pop_back();
      return id;
    }
    auto it = older.begin();
    const uint32_t id = it->first;
    if (it->second == id) {
      older.erase(it);
    } else {
      const uint32_t last = it->second;
      older.erase(it);
      older.emplace(id + 1, last);
    }
    return id;
  }

 private:
  void add_older(uint32_t id) {
    auto next = older.upper_bound(id);
    if (next != older.begin()) {
      auto prev = std::prev(next);
      if (prev->second + 1 == id) {
        prev->second = id;
        if (next != older.end() && next->first == id + 1) {
          prev->second = next->second;
          older.erase(next);
        }
        return;
      }
    }
    if (next != older.end() && next->first == id + 1) {
      const uint32_t last = next->second;
      older.erase(next);
      older.emplace(id, last);
      return;
    }
    older.emplace(id, id);
  }
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
    if (!f.empty()) return f.pop();
  }
  return GLOBAL_ID_COUNTER.fetch_add(1, std::memory_order_relaxed);
}

void release_id(uint32_t id) {
  FreeIds& f = FREE_IDS();
  std::lock_guard<std::mutex> g(f.mutex);
  f.push(id);
}

}  // namespace zarvex

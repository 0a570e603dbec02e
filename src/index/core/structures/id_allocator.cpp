#include "index/core/structures/id_allocator.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace zarvex {

namespace {
std::atomic<uint32_t> GLOBAL_ID_COUNTER{1};

// The stack of released ids, kept as runs of consecutive ids: a run holds
// `len` ids, `top` being the most recently pushed, the others stepping away
// from it by one (down when `down`, else up). Objects freed together (a
// collected structure, a dropped list) release neighbouring ids one after
// the other, so millions of released ids take a few runs, and the memory
// goes back once they are reused. Pops and pushes behave exactly like a
// plain stack of ids.
struct Run {
  uint32_t top;
  uint32_t len : 31;
  uint32_t down : 1;
};
static_assert(sizeof(Run) == 8);

struct FreeIds {
  std::mutex mutex;
  std::vector<Run> runs;

  bool empty() const { return runs.empty(); }
  void push(uint32_t id) {
    if (!runs.empty()) {
      Run& r = runs.back();
      if (r.len == 1 && (id == r.top + 1 || id + 1 == r.top)) r.down = id == r.top + 1;
      if (r.len < (1u << 31) - 1 && id == (r.down ? r.top + 1 : r.top - 1) && id != 0) {
        r.top = id;
        ++r.len;
        return;
      }
    }
    runs.push_back(Run{id, 1, 0});
  }
  uint32_t pop() {
    Run& r = runs.back();
    const uint32_t id = r.top;
    if (--r.len == 0) {
      runs.pop_back();
      // Give the memory back once the stack has mostly emptied.
      if (runs.capacity() > 1024 && runs.size() < runs.capacity() / 4) runs.shrink_to_fit();
    } else {
      r.top = r.down ? r.top - 1 : r.top + 1;
    }
    return id;
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

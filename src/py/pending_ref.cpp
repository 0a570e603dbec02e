#include "py/pending_ref.hpp"

#include <mutex>
#include <vector>

namespace zarvex::py {

namespace {
// Never destroyed: daemon threads may still record while the process runs
// its exit handlers, after static destructors would have freed these.
std::mutex& g_mutex = *new std::mutex;
std::vector<PyObject*>& g_pending = *new std::vector<PyObject*>;
}  // namespace

void add_pending_increfs(std::span<PyObject* const> objs) {
  if (objs.empty()) return;
  std::lock_guard<std::mutex> g(g_mutex);
  g_pending.insert(g_pending.end(), objs.begin(), objs.end());
  detail::g_has_pending_increfs.store(true, std::memory_order_release);
}

void detail::apply_pending_increfs_slow() noexcept {
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> g(g_mutex);
    batch.swap(g_pending);
    g_has_pending_increfs.store(false, std::memory_order_release);
  }
  for (PyObject* o : batch) Py_INCREF(o);
}

}  // namespace zarvex::py

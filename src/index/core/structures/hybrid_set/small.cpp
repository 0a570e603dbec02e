#include "index/core/structures/hybrid_set/small.hpp"

namespace zarvex::hybrid {

Bitmap bitmap_of(const IdArray& a) { return Bitmap(a.values()); }

Bitmap bitmap_of_both(const IdArray& a, const IdArray& b) {
  Bitmap out(a.values());
  out.add_many(b.values());
  return out;
}

Bitmap bitmap_of_plus(const IdArray& a, uint32_t id) {
  Bitmap out(a.values());
  out.add(id);
  return out;
}

IdArray filter_by_bitmap(const IdArray& a, const Bitmap& b) {
  IdArray out;
  for (uint32_t v : a)
    if (b.contains(v)) out.insert(v);
  return out;
}

}  // namespace zarvex::hybrid

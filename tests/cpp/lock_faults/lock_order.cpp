// Lock faults the clang build must reject, one per FAULT: scripts/thread_safety.sh compiles each alone and expects the
// message after "rejects:". In no target; private opened for the shard and interner locks.
#include <Python.h>

#include <sstream>  // with its private parts, before private is opened

#define private public
#include "index/core/query/query.hpp"
#include "index/core/structures/string_interner/interner.hpp"
#undef private

namespace zarvex {
using Shard = QueryMap::ExactMap::Shard;
using Attrs = IndexableRecord::AttrGuard;

// clang-format off
#if FAULT == 1  // rejects: mutex 'writer' must be acquired before 'attributes'
void f(IndexableRecord& r) { Attrs a(r); WriterGuard w(r); }
#elif FAULT == 2  // rejects: mutex 'writer' must be acquired before 'membership'
void f(IndexableRecord& r) { MembershipGuard m(r); WriterGuard w(r); }
#elif FAULT == 3  // rejects: mutex 'writer' must be acquired before 'attributes'
void f(IndexableRecord& r) ABSL_EXCLUSIVE_LOCKS_REQUIRED(r.lock.attributes) { WriterGuard w(r); }
#elif FAULT == 4  // rejects: requires holding mutex 'r.lock.writer'
void f(IndexAPI& i, IndexableRecord& r, StoredItem& s) { i.remove_object(r, nullptr, s); }
#elif FAULT == 5  // rejects: requires holding mutex 'r.lock.attributes'
void f(IndexableRecord& r) { FilingScope s(r, r.attrs); }
#elif FAULT == 6  // rejects: mutex 'attributes' must be acquired before 'lock'
void f(Shard& s, IndexableRecord& r) { ReadGuard g(s.lock); Attrs a(r); }
#elif FAULT == 7  // rejects: mutex 'lock' must be acquired before 'membership'
void f(Shard& s, IndexableRecord& r) { MembershipGuard m(r); ReadGuard g(s.lock); }
#elif FAULT == 8  // rejects: mutex 'membership' must be acquired before 'write_mutex_'
void f(StrInterner& in, IndexableRecord& r) { MutexGuard g(in.write_mutex_); MembershipGuard m(r); }
#elif FAULT == 9  // rejects: cannot call function 'live_indexes' while mutex 'r.lock.membership' is held
void f(IndexableRecord& r) {
  MembershipGuard m(r);
  LiveIndexes live;
  live_indexes(r, live);
}
#elif FAULT == 10  // rejects: mutex 'allowed_items' must be acquired before 'items'
void f(IndexAPI& i) { ItemsWrite s(*i.items); AllowedWrite a(*i.allowed_items); }
#elif FAULT == 11  // rejects: mutex 'query_maps' must be acquired before 'allowed_items'
void f(IndexAPI& i) { AllowedRead a(*i.allowed_items); MapsRead m(*i.query_maps); }
#elif FAULT == 12  // rejects: mutex 'writer' must be acquired before 'items'
void f(IndexAPI& i, IndexableRecord& r) { ItemsRead s(*i.items); WriterGuard w(r); }
#elif FAULT == 13  // rejects: mutex 'items' must be acquired before 'num_ordered'
void f(IndexAPI& i, QueryMap& q) { QueryMap::NumWrite t(q.num_ordered); ItemsRead s(*i.items); }
#elif FAULT == 14  // rejects: mutex 'query_maps' must be acquired before 'membership'
void f(IndexAPI& i, IndexableRecord& r) { MembershipGuard m(r); MapsRead s(*i.query_maps); }
#endif
// clang-format on
}  // namespace zarvex

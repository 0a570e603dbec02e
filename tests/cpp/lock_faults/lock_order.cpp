// Lock-order and lock-precondition faults the clang build must reject, one
// per FAULT number: scripts/thread_safety.sh compiles each alone and expects
// the analysis message after "rejects:". Not part of any target. Private
// members are opened to reach the shard and interner locks directly.
#include <Python.h>

#include <sstream>

#define private public
#include "index/core/index.hpp"
#include "index/core/query/query.hpp"
#include "index/core/structures/string_interner/interner.hpp"
#include "index/object_record.hpp"
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
void f(IndexableRecord& r) { MembershipGuard m(r); live_indexes(r); }
#endif
// clang-format on
}  // namespace zarvex

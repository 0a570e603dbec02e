// IndexableRecord: the native record of every Python object derived from the
// Indexable class, and the object's membership list. The value model (Ind
// values), the object store and the index core see objects through this
// record; the class itself (index/indexable.hpp) is the layer above them.
//
// IndexableRecord lives inside the Python object (64 bytes, the attribute
// map's first slots included). Index slots and Ind values refer to it through
// a strong reference to the Python object, so the record outlives every user
// and no second record is ever made.
//
//   member       guarded by                          notes
//   lock         -                                   one word: the writer,
//                                                    attributes and membership
//                                                    locks (support/object_lock)
//   attrs        changes: interpreter lock AND the   attribute id -> slot; see
//                attributes lock; reads: either one  index/attr_table.hpp
//   meta         the membership lock                 the list of weak links to
//                                                    the indexes holding the
//                                                    object (MemberList); set
//                                                    by the first registration,
//                                                    never null again
//   id           never changes                       released when the object dies
//
// Lock order: see ARCHITECTURE.md (writer, then attributes, then the locks
// of an index; the membership lock is a leaf). An attribute write holds the
// writer and attributes locks from the propagation to the indexes until the
// value is stored, and reads the membership list under the attributes lock,
// so every index ends with the value the object ends with. Native locks
// taken while attached detach from the interpreter while they wait.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>

#include "absl/container/inlined_vector.h"
#include "index/attr_table.hpp"
#include "index/value.hpp"
#include "support/object_lock.hpp"

namespace zarvex {

struct IndexAPI;

// A link to an index holding the object. Links are ordered and compared by
// owner (the index's control block: fixed for the index's lifetime and
// never shared by two indexes, even after the index has died), so a link
// needs no copy of the index's address.
using IndexMeta = std::weak_ptr<IndexAPI>;

// True when both links name the same index (alive or not).
template <class A, class B>
bool same_index(const std::weak_ptr<A>& a, const std::weak_ptr<B>& b) {
  return !a.owner_before(b) && !b.owner_before(a);
}

using MetaList = absl::InlinedVector<IndexMeta, 1>;

// The links of one object to the indexes holding it, in owner order: a
// reference-counted block. Every object held by one index alone points at
// that index's solo list (made once per index, never changed), so the common
// case allocates nothing and every write in the index reads the same cached
// line; every object that has left all its indexes points at the one shared
// empty list. An object in several indexes has a list of its own, changed in
// place under its record's membership lock. A record holds a reference to its
// list and drops it when it dies.
class MemberList {
 public:
  // A new shared list of the one link `index`, with one reference.
  static MemberList* solo(IndexMeta index);
  // The shared empty list (one more reference to it).
  static MemberList* empty();
  // A new list of one's own holding the links of `list`, with one reference.
  static MemberList* copy_of(const MemberList& list);
  void retain() { refs_.fetch_add(1, std::memory_order_relaxed); }
  // Drops a reference; the last one frees the list. Null is ignored.
  static void release(MemberList* list);
  bool shared() const { return shared_; }
  const MetaList& links() const { return links_; }
  MetaList& own_links() { return links_; }  // a list of one's own only

  MemberList(MemberList&&) = delete;

 private:
  explicit MemberList(bool shared) : shared_(shared) {}
  std::atomic<uint32_t> refs_{1};
  const bool shared_;
  MetaList links_;
};

struct IndexableRecord {
  // A write reads the lock, the id and the membership list first, and any
  // attribute access the map's ids: they come right after the object's
  // header, so that they mostly share the line the interpreter has just read
  // to find the type, and a write requests the slots' line before anything
  // else. (Where an object starts within a line depends on the interpreter
  // and the class: on CPython 3.11 a subclass instance starts 16 bytes into
  // one, so these 32 bytes and the first slot share the header's line; on
  // 3.12 the start varies.) A lock taken on a line still in flight would
  // hold the write up until it arrives.
  ObjectLock lock;
  uint32_t id = 0;
  std::atomic<MemberList*> meta{nullptr};
  AttrMap attrs;

  IndexableRecord() = default;
  IndexableRecord(const IndexableRecord&) = delete;
  IndexableRecord& operator=(const IndexableRecord&) = delete;
  ~IndexableRecord() { MemberList::release(meta.load(std::memory_order_relaxed)); }

  // True once the object has entered some index (never cleared).
  bool in_index() const { return meta.load(std::memory_order_acquire) != nullptr; }

  // The attribute table under the attributes lock. A local variable, so
  // that the lock analysis sees it held for the guard's scope.
  class ABSL_SCOPED_LOCKABLE AttrGuard {
   public:
    explicit AttrGuard(IndexableRecord& r) ABSL_EXCLUSIVE_LOCK_FUNCTION(r.lock.attributes)
        : g_(r.lock, ObjectLock::kAttributes), map_(&r.attrs) {}
    ~AttrGuard() ABSL_UNLOCK_FUNCTION() {}
    AttrMap& operator*() const { return *map_; }
    AttrMap* operator->() const { return map_; }
    void release() ABSL_UNLOCK_FUNCTION() { g_.release(); }

   private:
    ObjectLockGuard g_;
    AttrMap* map_;
  };
};
static_assert(sizeof(IndexableRecord) == 64);

// Holds the writer lock of an object: serialises its writers (and its entry
// into top-level indexes).
class ABSL_SCOPED_LOCKABLE WriterGuard {
 public:
  explicit WriterGuard(IndexableRecord& r) ABSL_EXCLUSIVE_LOCK_FUNCTION(r.lock.writer)
      : g_(r.lock, ObjectLock::kWriter) {}
  ~WriterGuard() ABSL_UNLOCK_FUNCTION() {}
  void release() ABSL_UNLOCK_FUNCTION() { g_.release(); }

 private:
  ObjectLockGuard g_;
};

// Holds the writer and attributes locks of an object, taken together and
// released together: one atomic step each way instead of two. For a writer
// that needs the attribute table from the start of its work to its end.
class ABSL_SCOPED_LOCKABLE WriterAttrGuard {
 public:
  explicit WriterAttrGuard(IndexableRecord& r) ABSL_EXCLUSIVE_LOCK_FUNCTION(r.lock.writer, r.lock.attributes)
      : g_(r.lock, ObjectLock::kWriterAndAttributes), map_(&r.attrs) {}
  ~WriterAttrGuard() ABSL_UNLOCK_FUNCTION() {}
  AttrMap& operator*() const { return *map_; }
  AttrMap* operator->() const { return map_; }
  void release() ABSL_UNLOCK_FUNCTION() { g_.release(); }

 private:
  ObjectLockGuard g_;
  AttrMap* map_;
};

// Holds the membership lock of an object (a leaf: nothing else is taken
// while it is held).
class ABSL_SCOPED_LOCKABLE MembershipGuard {
 public:
  explicit MembershipGuard(IndexableRecord& r) ABSL_EXCLUSIVE_LOCK_FUNCTION(r.lock.membership)
      : g_(r.lock, ObjectLock::kMembership) {}
  ~MembershipGuard() ABSL_UNLOCK_FUNCTION() {}

 private:
  ObjectLockGuard g_;
};

struct PyIndexable {
  PyObject_HEAD IndexableRecord record;
};

inline IndexableRecord* record_of(PyObject* obj) { return &reinterpret_cast<PyIndexable*>(obj)->record; }
inline uint32_t record_id(const IndexableRecord* r) { return r->id; }

// True when obj is an instance of Indexable or a subclass. Defined with the
// class (index/indexable.cpp): the one question this layer asks of it.
bool is_indexable(PyObject* obj);

// Registers in the object's membership list the index whose solo list is
// `solo`: an object in no live index takes `solo` itself; otherwise the
// list, a copy of its own if it was shared, drops dead links and takes the
// new one in owner order. Takes the object's membership lock. True when the
// index was not listed before.
bool add_index_meta(IndexableRecord& rec, MemberList& solo) ABSL_LOCKS_EXCLUDED(rec.lock.membership);
// Takes `index` (and any dead link) out of the membership list: a removal,
// or undoing a registration whose operation failed. Takes the membership
// lock; never allocates (a shared list it would change becomes the empty
// list: a solo list has no other link).
void remove_index_meta(IndexableRecord& rec, const std::weak_ptr<IndexAPI>& index)
    ABSL_LOCKS_EXCLUDED(rec.lock.membership);

// Replaces the contents of `live` with strong handles to the live indexes of
// the membership list (filled in place: a write's hot path builds no
// temporary list).
using LiveIndexes = absl::InlinedVector<std::shared_ptr<IndexAPI>, 4>;
void live_indexes(IndexableRecord& rec, LiveIndexes& live) ABSL_LOCKS_EXCLUDED(rec.lock.membership);

}  // namespace zarvex

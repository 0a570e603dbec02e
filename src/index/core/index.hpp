// IndexAPI: the shared core behind every index (an `Index`, the nested index
// of each attribute map, a rebased view).
//
//   member         guarded by                   notes
//   query_maps     its read-write lock          slot k: the map of attribute id k,
//                                               or null while no value of k has
//                                               arrived (an empty default map);
//                                               slots live in chunks made on
//                                               first write (QueryMapVec)
//   items          its read-write lock          object store addressed by id;
//                                               only grows
//   allowed_items  its read-write lock          ids of the objects in the index
//   parent         never changes                weak link one level up (nested)
//   retired        its read-write lock          objects taken out of a top-level
//                                               index whose values are still
//                                               filed (see remove_object)
//
// The three shared parts are separately reference-counted so that views can
// share them. Invariants between operations: every id in allowed_items has an
// occupied slot (a slot is stored before its id is published); a map slot,
// once holding a map, is only ever replaced by null after the map was found
// empty under the write lock.
//
// Lock order: see "Lock order" in ARCHITECTURE.md (an object's locks come
// before an index's, and an object's membership lock is a leaf).
// Indexing never re-enters the interpreter: container values carry their
// elements already converted.
//
// Failures: poisoned locks and broken invariants are internal failures. An
// allocation failure (std::bad_alloc) leaves the index as it was: adding
// (add_object, add_object_many) and union_with undo what they had done,
// nested filing queued by a change is finished with the memory reserve
// (NestingScope::drain), and every structure change starts only with
// headroom (support/memory.hpp).
//
// Long operations (add_object_many, union_with, rebase, group_by) check for
// signals every kCheckEvery objects (add_object_many: between its stretches,
// see kBulkStretchMost), holding no lock: on KeyboardInterrupt
// (any signal handler that raises) what was done stays done, nothing is left
// half-filed, and the error propagates as py::PyErrorSet.
#pragma once

#include <Python.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "absl/functional/function_ref.h"
#include "index/core/query_map_vec.hpp"
#include "index/core/stored_item.hpp"
#include "index/value.hpp"
#include "support/bitmap.hpp"
#include "support/memory.hpp"
#include "support/poison_lock.hpp"

namespace zarvex {

struct QueryMap;
struct QueryExpr;
class HashQuery;

// A shared RwLocked<T> that is a capability too, so that a member holding
// one can carry its place in the lock order. The analysis names a lock taken
// as `ReadScope g(*member)` after the member.
template <class T>
class ABSL_LOCKABLE SharedRwLocked : public std::shared_ptr<RwLocked<T>> {
 public:
  using std::shared_ptr<RwLocked<T>>::shared_ptr;
  using std::shared_ptr<RwLocked<T>>::operator=;
  SharedRwLocked(std::shared_ptr<RwLocked<T>> p) noexcept : std::shared_ptr<RwLocked<T>>(std::move(p)) {}
};

using SharedMaps = SharedRwLocked<QueryMapVec>;
using SharedItems = SharedRwLocked<ItemVec>;
using SharedAllowed = SharedRwLocked<Bitmap>;
// The scoped guards of an index's locks.
using MapsRead = RwLocked<QueryMapVec>::ReadScope;
using MapsWrite = RwLocked<QueryMapVec>::WriteScope;
using ItemsRead = RwLocked<ItemVec>::ReadScope;
using ItemsWrite = RwLocked<ItemVec>::WriteScope;
using AllowedRead = RwLocked<Bitmap>::ReadScope;
using AllowedWrite = RwLocked<Bitmap>::WriteScope;

// Grouping result: (value, ids) pairs, exact groups then numeric groups.
struct Group;
using Groups = std::vector<Group>;

// Deepest nesting followed when indexing nested objects; deeper levels are
// refused before anything changes (see check_nesting_depth).
inline constexpr int kMaxNestingDepth = 200;

// Objects handled by a long operation between two checks for signals and
// headroom.
inline constexpr size_t kCheckEvery = 4096;
// add_object_many files its objects in stretches, each as long as the ones
// before it together, from kCheckEvery objects up to this many. A stretch
// merges its numbers into each ordered tree in one pass, which touches
// leaves all over a tree of random values: with stretches of a fixed length
// the passes would touch every leaf again and again. The longest stretch
// takes some tens of milliseconds between two checks for signals.
inline constexpr size_t kBulkStretchMost = 16 * kCheckEvery;

// The values an object had when it left a top-level index while they stayed
// filed: its numbers by ordered key, its other leaves (texts, booleans) as
// values, each with its attribute id. They hold no Python reference.
struct RetiredValues {
  absl::InlinedVector<std::pair<uint32_t, NumKey>, 2> numbers;
  absl::InlinedVector<std::pair<uint32_t, PyValue>, 4> values;
};
// Objects that left an index and whose values are still filed under their
// ids: the ids, and each one's values for unfiling it alone.
struct Retired {
  Bitmap ids;
  // (Grows through the reserve: support/memory.hpp.)
  absl::flat_hash_map<uint32_t, RetiredValues, absl::Hash<uint32_t>, std::equal_to<uint32_t>,
                      memory::UnfailingAllocator<std::pair<const uint32_t, RetiredValues>>>
      values;
};
// A sweep is due once this many objects, and at least one in kSweepShare of
// those in the index, are retired: a sweep costs a pass over every map, so
// its share of each removal stays a few entries.
inline constexpr uint64_t kSweepAtLeast = 64;
inline constexpr uint64_t kSweepShare = 16;

struct IndexAPI : std::enable_shared_from_this<IndexAPI> {
  // The index's locks. Their order (ARCHITECTURE.md, "Lock order"):
  // query_maps, allowed_items, items; after an object's writer and attributes
  // locks, before its membership lock and a map's tree locks (declared there).
  SharedMaps query_maps ABSL_ACQUIRED_AFTER(ObjectLock::attributes)
      ABSL_ACQUIRED_BEFORE(allowed_items, items, ObjectLock::membership);
  SharedItems items ABSL_ACQUIRED_AFTER(ObjectLock::attributes) ABSL_ACQUIRED_BEFORE(ObjectLock::membership);
  SharedAllowed allowed_items ABSL_ACQUIRED_AFTER(ObjectLock::attributes)
      ABSL_ACQUIRED_BEFORE(items, ObjectLock::membership);
  mutable RwLocked<Retired> retired ABSL_ACQUIRED_AFTER(query_maps, allowed_items, items)
      ABSL_ACQUIRED_BEFORE(ObjectLock::membership);
  std::weak_ptr<IndexAPI> parent;
  int level = 0;  // nesting level: 0 for a top-level index, parent's + 1 below

  static std::shared_ptr<IndexAPI> create(std::weak_ptr<IndexAPI> parent = {});

  // --- adding --------------------------------------------------------------
  // Adds one top-level object: under its write lock, registers this index
  // in its membership list, stores and publishes it and files its
  // attributes; then files the objects it nests. Detached; the caller holds
  // a reference to `obj` for the call (the slot takes one of its own).
  void add_object(PyObject* obj);
  // Batch add of top-level objects (already converted): slots stored and ids
  // published under one hold of the store locks, then each object is
  // registered and filed under its own locks. Detached. Interrupted by a
  // signal, the objects filed so far stay and the others leave again. The
  // caller holds a reference to each object for the call.
  void add_object_many(std::span<PyObject* const> objs);
  // Undoes the entry of objects this index stored for a call that failed:
  // unfiles `fresh` and takes this index out of their membership lists (when
  // `filed`: they may have been registered and filed), empties the slots
  // that hold them, and unpublishes `unpublish`. Inside a RecoveryScope; the
  // caller holds no lock.
  void withdraw(std::span<PyObject* const> fresh, std::span<const uint32_t> unpublish, bool filed = true);
  // Files one attribute value of object `id`.
  void add_index(uint32_t id, uint32_t attr_id, const PyValue& value);
  // Files `key` in the exact map of `attr_id` for object `id`.
  void insert_exact_routed(uint32_t attr_id, const PyValue& key, uint32_t id);
  // Unfiles one attribute value of object `id`.
  void remove_index(uint32_t id, uint32_t attr_id, const PyValue& value);
  // An attribute write: unfiles `old` and files `value` for object `id`
  // under one hold of the maps lock (two numbers: one hold of the tree
  // lock). Ends as remove_index(old) followed by add_index(value) would.
  void replace_index(uint32_t id, uint32_t attr_id, const PyValue& old, const PyValue& value);
  // The same for two values whose leaves are all plain (numbers, booleans,
  // texts: AttrSlot::leaves_plain), given as their slot words (0: none): the
  // leaves of `old_word` are unfiled, then those of `new_word` filed, each
  // straight from the slot, without building a container's value. A
  // number over a number moves its entry, as replace_index does; a text over
  // a text is looked up by its bytes, with no value built.
  void replace_leaves(uint32_t id, uint32_t attr_id, uintptr_t old_word, uintptr_t new_word);
  // Nested: holder `holder` lets go of the object `rec` held through
  // attribute `attr`; when no holder is left, unfiling is queued
  // (NestingScope).
  void remove(IndexableRecord& rec, uint32_t holder, uint32_t attr);
  // Queued work of remove(): unfiles the object and empties its slot.
  void unfile_nested(IndexableRecord& rec);
  // Takes the top-level object `obj` (record `rec`) out of the index: empties
  // its slot (handing it to `released`, to be destroyed attached), unpublishes
  // its id, unfiles every value (nested objects are let go as by a write of
  // the attribute holding them; their unfiling is queued, NestingScope) and
  // drops the index from the object's membership list. False when the object
  // is not in the index. The caller holds the object's writer lock.
  // An object whose leaves are plain or indexable objects is retired
  // instead of unfiled: its id joins `retired` with a record of its plain
  // values, every answer of this index leaves it out, and a sweep unfiles
  // the retired objects of a while together (one pass over each map), or
  // revive() one of them alone when its id is filed again. The objects it
  // holds are let go at once; an object holding other values is unfiled at
  // once. Without `keep_record` (clear(), which sweeps at its end) no record
  // is kept: reviving such an id sweeps every retired one.
  bool remove_object(IndexableRecord& rec, PyObject* obj, StoredItem& released, bool keep_record = true)
      ABSL_EXCLUSIVE_LOCKS_REQUIRED(rec.lock.writer);
  // --- retired objects (see remove_object) ---------------------------------
  // True once enough objects are retired for a sweep (kSweepAtLeast,
  // kSweepShare).
  bool sweep_due() const { return sweep_due_.load(std::memory_order_relaxed); }
  // Unfiles every retired object in one pass over each map, under the maps
  // lock held exclusively (so no query sees part of it), and forgets them.
  // Changes nothing it cannot finish: a failure for want of memory is met
  // with the reserve.
  void sweep_retired() const;
  // Unfiles the retired objects among `ids` from their recorded values (an
  // object coming back, or a new object given the id of one that died), so
  // that they can be filed afresh. Maps lock held exclusively, as above.
  void revive(std::span<const uint32_t> ids);
  // Takes the retired ids out of a query's answer. The caller holds the maps
  // lock (shared), so no sweep or revival runs meanwhile.
  void drop_retired(Bitmap& ids) const;
  // Resets the slots of the maps found empty after unfiling, re-checked
  // under the maps lock held exclusively (a value filed meanwhile keeps a map).
  void release_emptied(std::span<const std::shared_ptr<QueryMap>> emptied);
  // Unfiles the (attribute id, value) pairs of object `id`.
  void unfile_values(uint32_t id, std::span<const std::pair<uint32_t, PyValue>> values);
  // Unfiles every value of `attrs` (the locked map of object `id`). With
  // `spread`, first requests the line of `id` in each set (see the body).
  void unfile_attributes(uint32_t id, const AttrMap& attrs, bool spread);
  // Nested: stores `obj` held by `holder` through `attr`, or adds the holder
  // to the existing slot. Returns true when the object's attributes must be
  // filed: it was newly stored, or a new holder arrived at a slot marked
  // blocked.
  bool store_nested(const py::SharedPy& obj, uint32_t holder, uint32_t attr);
  // Marks the stored object `id` as holding a value that the cycle guard
  // kept from the level below.
  void mark_blocked(uint32_t id);

  // --- reading -------------------------------------------------------------
  bool has_object_id(uint32_t id) const;
  // True when slot `id` holds `obj` itself.
  bool holds(uint32_t id, PyObject* obj) const;
  // Membership by id (allowed_items) and the number of objects.
  bool contains(uint32_t id) const;
  uint64_t size() const;
  // The store's removal count, for views made now (ItemVec).
  uint64_t epoch() const;
  // True when some path of holders leads from a top-level object down to the
  // stored object `id` without passing through an object with id `avoid`
  // above `id` (`id` itself may be that object: an object holding itself is
  // taken one level down once). Reads each level's store once, upward, one
  // level at a time; stops at the first top-level object reached.
  bool reaches_root_avoiding(uint32_t id, uint32_t avoid) const;
  // Holders one level up of the stored objects `ids`, through attribute
  // `attr` of theirs.
  Bitmap get_direct_parents(const Bitmap& ids, uint32_t attr) const;
  // The index one level down, shared by every attribute map of this index:
  // it stores the objects that attribute values of this index's objects
  // hold, each once, with its holders per attribute. Created on first use.
  std::shared_ptr<IndexAPI> nested_level();
  // The membership list of an object that only this index holds (see
  // MemberList), for add_index_meta.
  MemberList& solo_members();
  // The nested level's address, or null while none was made (the cycle
  // collector's walk tells its holders apart by it).
  const IndexAPI* nested_address() const {
    const std::shared_ptr<IndexAPI>* below = nested_.load(std::memory_order_acquire);
    return below ? below->get() : nullptr;
  }

  // New references to the objects of `ids` whose slots are occupied (and were
  // stored no later than removal count `epoch`), in ascending id order
  // (collected under the locks, returned for the caller to wrap once the
  // locks are released).
  static std::vector<PyObject*> objects_of(const RwLocked<ItemVec>& items, const Bitmap& ids,
                                           uint64_t epoch = kAnyEpoch);
  std::vector<PyObject*> collect() const;

  Bitmap get_by_attribute(const HashQuery& q) const;
  Bitmap reduced_query(const QueryExpr& e) const;
  std::optional<Groups> group_by(std::string_view name) const;
  void reduce(const HashQuery& q);
  void union_with(const std::shared_ptr<IndexAPI>& other);

  // Finds or installs the map of `attr_id`.
  std::shared_ptr<QueryMap> map_for(uint32_t attr_id);
  std::shared_ptr<QueryMap> map_if_any(uint32_t attr_id) const;
  void file_attributes(uint32_t id, IndexableRecord& rec);

 private:
  // The filing of one stretch of objects whose values are all plain, for
  // add_object_many and reduce (see index.cpp): registers each object it
  // files (an object listed already stays as it is); returns the positions
  // left to register and file one by one.
  std::vector<size_t> file_in_bulk(std::span<PyObject* const> objs, std::span<const uint32_t> ids, const ItemVec* store,
                                   uint64_t stored_at);
  // Adds `id` and its record to `retired` (`members`: objects left in the
  // index); false, changing nothing, when it cannot (the caller then
  // unfiles the object at once).
  bool retire(uint32_t id, RetiredValues* record, uint64_t members);
  // The sweep, under the maps lock (exclusive) and the retired lock.
  // Keys of entries it empties go to `pruned`, for the caller to release
  // once the locks are released.
  void sweep_locked(QueryMapVec& maps, Retired& r, std::vector<PyValue>& pruned) const;
  // The nested level, installed once by a compare-and-swap of a pointer to
  // its handle and never changed or freed before the index: a reader that
  // sees the pointer sees the handle whole.
  std::atomic<std::shared_ptr<IndexAPI>*> nested_{nullptr};
  // The membership list of an object held by this index alone, installed by
  // a compare-and-swap on first use (solo_members) and held until the index
  // dies; objects still pointing at it then keep it alive.
  std::atomic<MemberList*> solo_{nullptr};
  // Ids in `retired`, read without its lock where none is the common case;
  // changed under it.
  mutable std::atomic<uint64_t> retired_count_{0};
  mutable std::atomic<bool> sweep_due_{false};

 public:
  IndexAPI() = default;
  IndexAPI(const IndexAPI&) = delete;
  IndexAPI& operator=(const IndexAPI&) = delete;
  ~IndexAPI() {
    delete nested_.load(std::memory_order_acquire);
    MemberList::release(solo_.load(std::memory_order_acquire));
  }
};

// Raises RecursionError (py::PyErrorSet) when filing `value` in an index of
// nesting level `level` would nest objects deeper than kMaxNestingDepth.
// Called attached; the walk itself runs detached and visits each object once
// (shared children cost nothing more), locking each object's attributes
// briefly, one at a time.
void check_nesting_depth(const PyValue& value, int level);
// The same for every attribute value of an object entering a top-level index.
void check_object_depth(IndexableRecord& rec);

// Nested objects are filed and unfiled after the operation that met them has
// released every object lock it held: insert_indexable and remove queue the
// work on this thread, and the outermost NestingScope runs the queue (FIFO;
// work may queue more work) when drain() is called. So no thread ever holds
// two objects' attribute locks at once (no lock cycle through reference
// cycles between objects), and deep nesting runs iteratively. A scope that
// ends without drain() (an exception) discards the queued work.
class NestingScope {
 public:
  NestingScope();
  ~NestingScope();
  NestingScope(const NestingScope&) = delete;
  NestingScope& operator=(const NestingScope&) = delete;
  void drain();
  // Whether this thread has queued work that drain() would run.
  bool has_work() const;

 private:
  bool outer_;
};
enum class NestingOp : uint8_t { File, Unfile };
void queue_nesting(NestingOp op, std::shared_ptr<IndexAPI> index, py::SharedPy obj);
// A place at the end of this thread's queue, taken before a change that must
// be followed by queued work (so that an allocation failure cannot come
// between the two); given back unless fill() is called. Nothing may be
// queued while a ticket is open.
class NestingTicket {
 public:
  NestingTicket();
  ~NestingTicket();
  NestingTicket(const NestingTicket&) = delete;
  NestingTicket& operator=(const NestingTicket&) = delete;
  void fill(NestingOp op, std::shared_ptr<IndexAPI> index, py::SharedPy obj) noexcept;

 private:
  bool filled_ = false;
};

// Runs `f(map)` on the attribute map of `rec`: locks it, unless this thread is
// already filing or unfiling that object (an object that holds itself), in
// which case the map it holds is reused.
void with_attributes(IndexableRecord& rec, absl::FunctionRef<void(AttrMap&)> f);
// Marks `map` (locked by the caller) as the map of `rec` for the scope.
class FilingScope {
 public:
  FilingScope(IndexableRecord& rec, AttrMap& map) ABSL_EXCLUSIVE_LOCKS_REQUIRED(rec.lock.attributes);
  ~FilingScope();
  FilingScope(const FilingScope&) = delete;
  FilingScope& operator=(const FilingScope&) = delete;
};

}  // namespace zarvex

"""Several threads querying one index while others write to its objects.

Index operations and attribute writes release the interpreter lock while
they work and rely on Zarvex's own locks, so this needs no lock of yours:
- each query answers from the values that are current while it runs; an
  object being written meanwhile is found under its old or its new value;
- a view (FilteredIndex) keeps the set of objects it was made with: listing
  it again later gives the same objects, whatever was written since;
- once the writers are done, every index holds exactly the values that the
  objects hold.
"""
import random
import threading

from Zarvex import Index, Indexable, PyQueryExpr as Q


class Account(Indexable):
    pass


N_ACCOUNTS = 2_000
N_WRITERS = 2
N_READERS = 3
WRITES_PER_WRITER = 5_000

accounts = [Account(number=i, status="active", balance=1_000, region=("north", "south")[i % 2])
            for i in range(N_ACCOUNTS)]
known = set(map(id, accounts))
index = Index()
index.add_object_many(accounts)

start = threading.Barrier(N_WRITERS + N_READERS)
writers_done = threading.Event()
problems: list[str] = []
queries_run = [0] * N_READERS


def writer(k: int) -> None:
    rng = random.Random(k)
    mine = accounts[k::N_WRITERS]  # each writer owns its own accounts
    start.wait()
    for _ in range(WRITES_PER_WRITER):
        acc = rng.choice(mine)
        acc.balance = rng.randrange(0, 5_000)
        acc.status = rng.choice(("active", "active", "frozen"))


def reader(k: int) -> None:
    rng = random.Random(100 + k)
    start.wait()
    while not writers_done.is_set():
        frozen = index.get_by_attribute(status="frozen")
        rich = index.reduced_query(Q.and_(Q.ge("balance", rng.randrange(5_000)), Q.eq("region", "north")))
        first = rich.collect()
        for obj in frozen + first:
            if id(obj) not in known:
                problems.append("reader %d got an object that was never added" % k)
        if any(obj.region != "north" for obj in first):  # region is never written
            problems.append("reader %d: a north-only query returned another region" % k)
        if rich.collect() != first:  # a view's objects are fixed when it is made
            problems.append("reader %d: a view changed between two listings" % k)
        queries_run[k] += 1


threads = [threading.Thread(target=writer, args=(k,)) for k in range(N_WRITERS)]
threads += [threading.Thread(target=reader, args=(k,)) for k in range(N_READERS)]
for t in threads:
    t.start()
for t in threads[:N_WRITERS]:
    t.join()
writers_done.set()
for t in threads[N_WRITERS:]:
    t.join()

assert not problems, problems[:5]
# After the writers are done, the index agrees with the objects' values.
frozen = index.get_by_attribute(status="frozen")
assert set(map(id, frozen)) == {id(a) for a in accounts if a.status == "frozen"}
for low in (0, 1_000, 2_500, 4_999):
    found = index.reduced_query(Q.ge("balance", low)).collect()
    assert set(map(id, found)) == {id(a) for a in accounts if a.balance >= low}
print("%d writers made %d writes while %d readers ran %d queries; index consistent: %d frozen accounts"
      % (N_WRITERS, N_WRITERS * WRITES_PER_WRITER, N_READERS, sum(queries_run), len(frozen)))

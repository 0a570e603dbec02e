"""Indexes as Python collections: removal, length, iteration, membership,
set algebra on views, operators on expressions, pickling and copying."""
import copy
import pickle

from Zarvex import FilteredIndex, Index, Indexable, PyQueryExpr as Q


class Pet(Indexable):
    def label(self) -> str:
        return f"{self.name} ({self.kind})"


def labels(pets: FilteredIndex[Pet] | Index[Pet]) -> list[str]:
    return [p.label() for p in pets]  # iteration follows collect(): ascending ids


rex = Pet(name="rex", kind="dog", age=3)
tom = Pet(name="tom", kind="cat", age=7)
max_ = Pet(name="max", kind="dog", age=9)

pets: Index[Pet] = Index()
pets.add_object_many([rex, tom, max_])
print(len(pets), "pets;", "rex indexed:", rex in pets)

# Expressions combine with & | ~, views with & | - (views of one index).
dogs = pets.reduced(kind="dog")
old = pets.reduced_query(Q.ge("age", 5) & ~Q.eq("kind", "bird"))
print("old dogs:", labels(dogs & old))
print("dogs or old:", labels(dogs | old))
print("young dogs:", labels(dogs - old))

# Removal unfiles the object everywhere; views made earlier drop it too.
pets.remove(max_)
pets.discard(max_)  # already gone: nothing happens
print("after removing max:", labels(dogs), "| empty view is falsy:", not pets.reduced(kind="bird"))

# An index pickles as its objects; the copy answers queries like the original.
restored: Index[Pet] = pickle.loads(pickle.dumps(pets))
print("restored dogs:", labels(restored.reduced(kind="dog")))
twin = copy.deepcopy(rex)
twin.name = "rex II"
print("deep copy is separate:", rex.name, "/", twin.name)

pets.clear()
print("cleared:", len(pets), bool(pets))

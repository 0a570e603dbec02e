"""A tour of Zarvex: live indexes of Python objects by attribute value."""
from collections.abc import Iterable

from Zarvex import Index, Indexable, PyQueryExpr as Q


class Owner(Indexable):
    pass


class Pet(Indexable):
    def describe(self) -> str:
        return f"{self.name} ({self.kind}, {self.age} years)"


def names(objs: Iterable[Indexable]) -> list[str]:
    return sorted(str(o.name) for o in objs)


alice = Owner(name="alice", city="Paris")
bob = Owner(name="bob", city="Oslo")

pets = [
    Pet(name="rex", kind="dog", age=3, weight=30.5, tags=["loud", "friendly"], owner=alice),
    Pet(name="tom", kind="cat", age=7, weight=4.2, tags=["lazy"], owner=alice),
    Pet(name="kiki", kind="bird", age=1, weight=0.1, tags=["loud"], owner=bob),
    Pet(name="max", kind="dog", age=9, weight=25.0, tags=[], owner=bob),
]

index: Index[Pet] = Index()
index.add_object_many(pets)
print("indexed:", names(index.collect()))

# Keyword queries use exact values; a list asks for any of its values and
# list attributes are indexed element by element.
print("dogs:", names(index.get_by_attribute(kind="dog")))
print("dogs or cats:", names(index.get_by_attribute(kind=["dog", "cat"])))
print("loud pets:", names(index.get_by_attribute(tags="loud")))

# Expression queries also compare numbers (integers and floats by value).
old = index.reduced_query(Q.ge("age", 7))
print("7 years or older:", names(old.collect()))
heavy_dogs = index.reduced_query(Q.and_(Q.eq("kind", "dog"), Q.gt("weight", 26)))
print("dogs over 26 kg:", names(heavy_dogs.collect()))
print("not a dog:", names(index.reduced_query(Q.not_(Q.eq("kind", "dog"))).collect()))

# Dotted paths look inside nested objects and come back to their holders.
print("pets of alice:", names(index.get_by_attribute(**{"owner.name": "alice"})))
print("pets living in Oslo:", names(index.reduced_query(Q.eq("owner.city", "Oslo")).collect()))

# Assigning an attribute updates every index that holds the object.
pets[1].kind = "dog"
bob.city = "Paris"
print("dogs after tom changed:", names(index.get_by_attribute(kind="dog")))
print("pets living in Paris now:", names(index.reduced_query(Q.eq("owner.city", "Paris")).collect()))

# Grouping gives one view per value; numbers group by numeric value.
groups = index.group_by("kind")
print("by kind:", {k: names(v.collect()) for k, v in groups.items()})

# Views narrow further and can become standalone indexes of their own.
young = index.reduced_query(Q.lt("age", 8))
young_dogs = young.reduced(kind="dog")
print("young dogs:", names(young_dogs.collect()))
rebased = young.rebase()
pets[0].age = 4
print("rebased index finds rex at 4:", names(rebased.reduced_query(Q.eq("age", 4)).collect()))
print(pets[0].describe())

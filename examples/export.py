"""Query results out of Zarvex: as dicts, as JSON, and as a pandas DataFrame.

`collect()` returns the objects themselves. An `Indexable` keeps its
attributes natively (there is no `__dict__` to copy), so a row is built by
reading the attributes: either a fixed list of fields, or every stored name,
which `obj.__dir__()` lists first, before the names `object.__dir__` adds.
pandas is optional here: without it that part is skipped.
"""
import importlib
import json
from collections.abc import Iterable
from typing import Any, cast

from Zarvex import Index, Indexable, PyQueryExpr as Q


class City(Indexable):
    pass


class Shop(Indexable):
    pass


def stored_names(obj: Indexable) -> list[str]:
    """The names of the attributes stored in an Indexable, in its own order."""
    names = obj.__dir__()
    return names[: len(names) - len(list(object.__dir__(obj)))]


def as_dict(obj: Indexable, fields: list[str] | None = None,
            nested: tuple[str, ...] = ("name",)) -> dict[str, Any]:
    """One object as a plain dict. A nested Indexable becomes its first
    `nested` attribute that it has (here: its name); lists become lists."""
    row: dict[str, Any] = {}
    for name in fields or stored_names(obj):
        value = getattr(obj, name, None)
        if isinstance(value, Indexable):
            value = next((getattr(value, n) for n in nested if hasattr(value, n)), repr(value))
        elif isinstance(value, (list, tuple, set)):
            value = list(cast(Iterable[Any], value))
        row[name] = value
    return row


paris, lyon = City(name="Paris", country="FR"), City(name="Lyon", country="FR")
shops = [
    Shop(name="Atelier", city=paris, kind="bakery", rating=4.6, tags=["bread", "coffee"], staff=4),
    Shop(name="Bouquin", city=paris, kind="books", rating=4.1, tags=["books"], staff=2),
    Shop(name="Cuivre", city=lyon, kind="kitchen", rating=3.8, tags=["pans"], staff=3),
    Shop(name="Douce", city=lyon, kind="bakery", rating=4.9, tags=["bread", "cakes"], staff=6),
]
index = Index()
index.add_object_many(shops)

good = index.reduced_query(Q.ge("rating", 4.0))

# 1. Dicts: every stored attribute, or a chosen list of fields.
rows = sorted((as_dict(s) for s in good.collect()), key=lambda r: r["name"])
assert [r["name"] for r in rows] == ["Atelier", "Bouquin", "Douce"]
assert list(rows[0]) == ["name", "city", "kind", "rating", "tags", "staff"]  # keyword order
print("first row:", rows[0])
print("as JSON:", json.dumps([as_dict(s, ["name", "rating"]) for s in good.collect()]))

# 2. Groups to dicts of lists: group_by gives one view per value.
by_kind = {kind: sorted(s.name for s in view.collect()) for kind, view in index.group_by("kind").items()}
assert by_kind == {"bakery": ["Atelier", "Douce"], "books": ["Bouquin"], "kitchen": ["Cuivre"]}
print("names by kind:", by_kind)

# 3. pandas: one row per object, columns from the same dicts.
pd: Any  # pandas has no types of its own
try:
    pd = importlib.import_module("pandas")
except ImportError:
    pd = None
    print("pandas is not installed: DataFrame export skipped")
if pd is not None:
    frame = pd.DataFrame.from_records([as_dict(s) for s in index.reduced(city=paris).collect()])
    assert sorted(frame["name"]) == ["Atelier", "Bouquin"] and set(frame["city"]) == {"Paris"}
    frame = pd.DataFrame.from_records(
        [as_dict(s, ["name", "kind", "rating", "staff"]) for s in index.collect()], index="name")
    summary = frame.groupby("kind")["staff"].sum()
    assert summary.to_dict() == {"bakery": 10, "books": 2, "kitchen": 3}
    print(frame.sort_values("rating", ascending=False).to_string())

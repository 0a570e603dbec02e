"""Live in-memory indexes of Python objects by attribute value.

Derive classes from `Indexable`, add instances to an `Index` and ask for the
objects whose attributes equal a value, lie in a numeric range or satisfy
`PyQueryExpr` combinations, also through dotted paths into nested objects
(``owner.name``). Assigning an attribute of an indexed object updates every
index that holds it.
"""

from collections.abc import Iterator, Sequence
from types import GenericAlias
from typing import Any, Generic, final

from typing_extensions import Self, TypeVar, disjoint_base

__all__ = ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]

__version__: str

class InternalError(BaseException):
    """A broken invariant or a lock poisoned by an earlier failure. Derives
    from `BaseException`, so ``except Exception`` does not catch it."""

class UnorderableError(InternalError, TypeError):
    """An ordering comparison (`gt`, `ge`, `lt`, `le`, `bt`) whose bound
    cannot be ordered, raised when the expression is evaluated."""

def sum_as_string(a: int, b: int) -> str:
    """Formats the sum of two numbers as string.

    Both are unsigned 32-bit integers; the sum wraps modulo 2**32.
    """

@disjoint_base
class Indexable:
    """Base class of every object that can be put into an index.

    Attributes live natively in the object (not in a ``__dict__``) and may be
    of any type. Texts, booleans and other `Indexable` objects are matched
    by keyword queries; numbers (int and float, compared by value) by
    expression queries; dates, datetimes, times and durations as the
    README's table of values says. A list, tuple or set is indexed element
    by element, with the elements it held when it was assigned. Stored attributes take
    precedence over class attributes of the same name, and a property's
    setter is never called. Deleting an attribute raises `AttributeError`.

    Instances pickle and copy as their class plus their attributes:
    `copy.copy` shares the attribute values, `copy.deepcopy` and pickling copy
    them, keeping cycles between objects. The copy is made by ``__new__``
    without arguments; ``__init__`` is not run.
    """

    def __new__(cls, *args: Any, **kwargs: Any) -> Self:
        """A new object whose attributes are the keyword arguments;
        positional arguments are ignored (a subclass's ``__init__`` still
        receives them)."""

    def __getattribute__(self, name: str, /) -> Any: ...
    def __setattr__(self, name: str, value: Any, /) -> None:
        """Stores the value and updates every index holding the object."""

    def __dir__(self) -> list[str]:
        """Stored attribute names first, then those of ``object.__dir__``."""

    def __getstate__(self) -> dict[str, Any]:
        """The stored attributes, by name."""

    def __setstate__(self, state: dict[str, Any], /) -> None:
        """Assigns every item of `state` as an attribute."""

    def __reduce__(self) -> tuple[Any, ...]: ...

_T = TypeVar("_T", bound=Indexable, default=Indexable)

@final
class Index(Generic[_T]):
    """A live index of `Indexable` objects by the values of their attributes.

    The index holds a strong reference to every object it holds. Results
    that are lists are the objects themselves, in ascending order of their
    internal ids (not insertion order). `len`, iteration (in the order of
    `collect`), ``obj in index`` (by identity, constant time) and truth
    (false when empty) work as for a set.

    An index pickles as the list of its objects and unpickles into a new
    index holding them, filed from their current attribute values; so do
    `copy.copy` (same objects) and `copy.deepcopy` (copies). What `reduce`
    and `union_with` did to the original's attribute maps is not carried.
    """

    def __init__(self) -> None: ...
    def collect(self) -> list[_T]:
        """Every object of the index, in ascending id order."""

    def reduced(self, **kwargs: Any) -> FilteredIndex[_T]:
        """A view of the objects whose attributes equal the keyword values.

        Keyword queries match exact texts, booleans and objects, never
        numbers; a list or tuple value asks for any of its values; a name may
        be a dotted path into nested objects. No keywords match nothing.
        """

    def reduce(self, **kwargs: Any) -> None:
        """Narrows the exact-value maps of this index to the objects matching
        the keywords. Every object stays in the index (`collect` still lists
        it) and still matches number and nested-path queries."""

    def get_by_attribute(self, **kwargs: Any) -> list[_T]:
        """The objects matching the keywords (as `reduced`), in ascending id
        order."""

    def add_object_many(self, objs: Sequence[_T]) -> None:
        """Adds every object of a list or tuple; if one is not an
        `Indexable`, none is added. Adding an object again changes nothing."""

    def add_object(self, py_ref: _T) -> None:
        """Adds one object (and, through its attributes, the objects nested
        in it). Adding an object again changes nothing."""

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex[_T]:
        """A view of the objects selected by an expression."""

    def group_by(self, attr: str) -> dict[Any, FilteredIndex[_T]]:
        """One view per distinct value of an attribute (a dotted path
        allowed), keyed as a dict would key them: equal keys share a group
        (``True`` and ``1.0``; every ``None``), all NaNs form one group, and
        values that cannot be dict keys are left out. Number keys are floats
        where a float is exactly the number, else the integer itself."""

    def union_with(self, other: Index[Any]) -> None:
        """Adds to this index's exact-value sets the ids that `other` files
        under keys this index already has. The other index's objects are not
        added to this one."""

    def remove(self, py_ref: _T) -> None:
        """Takes an object out of the index; `KeyError` if it is not in it.

        Every value of the object is unfiled (objects nested in it are let go
        as if the attribute holding them were assigned), later writes to it
        no longer reach the index, and the index's reference to it is
        released. Views made earlier no longer list it.
        """

    def discard(self, py_ref: _T) -> None:
        """As `remove`, but nothing happens if the object is not in the
        index."""

    def clear(self) -> None:
        """Removes every object (as `remove` does, one at a time)."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_T]: ...
    def __contains__(self, obj: object, /) -> bool: ...
    def __reduce__(self) -> tuple[type[Index[_T]], tuple[()], list[_T]]: ...
    def __setstate__(self, state: Sequence[_T], /) -> None:
        """Adds the objects of a pickled index."""

    def __class_getitem__(cls, item: Any, /) -> GenericAlias: ...

@final
class FilteredIndex(Generic[_T]):
    """A view: a fixed set of objects of one index.

    A view keeps the ids it was made with and shares the index's attribute
    maps: narrowing it (`reduced`, `reduced_query`) reads the current values
    of its objects, and an object stays in the view after its attributes
    change. An object removed from the index leaves every view of it (and an
    object added later, even one that reuses a dead object's id, never
    appears in an older view). Listing follows ascending id order; `len`,
    iteration (in the order of `collect`), ``obj in view`` (by identity) and
    truth (false when empty) work as for a set.

    ``a & b``, ``a | b`` and ``a - b`` combine two views of the same index
    (`ValueError` for views of different indexes). Views cannot be pickled
    or copied (`TypeError`); `rebase` makes an index that can.
    """

    def reduced(self, **kwargs: Any) -> FilteredIndex[_T]:
        """The objects of this view matching the keywords (as
        `Index.reduced`)."""

    def reduced_query(self, query: PyQueryExpr) -> FilteredIndex[_T]:
        """The objects of this view selected by an expression; ``not_`` is
        taken within this view."""

    def collect(self) -> list[_T]:
        """The objects of the view, in ascending id order."""

    def rebase(self) -> Index[_T]:
        """A new index holding the view's objects, with attribute maps of its
        own; later writes to the objects update it too."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_T]: ...
    def __contains__(self, obj: object, /) -> bool: ...
    def __and__(self, other: FilteredIndex[_T], /) -> FilteredIndex[_T]: ...
    def __or__(self, other: FilteredIndex[_T], /) -> FilteredIndex[_T]: ...
    def __sub__(self, other: FilteredIndex[_T], /) -> FilteredIndex[_T]: ...
    def __rand__(self, other: FilteredIndex[_T], /) -> FilteredIndex[_T]: ...
    def __ror__(self, other: FilteredIndex[_T], /) -> FilteredIndex[_T]: ...
    def __rsub__(self, other: FilteredIndex[_T], /) -> FilteredIndex[_T]: ...
    def __class_getitem__(cls, item: Any, /) -> GenericAlias: ...

@final
class PyQueryExpr:
    """An immutable query expression, made only by the static methods.

    Attribute names may be dotted paths into nested objects. Numbers compare
    by value across int and float, as in Python (a NaN matches no comparison;
    `ne` and `not_` include it); `eq` and `in_` also match texts, booleans
    and `Indexable` objects (by identity) exactly. An expression may be
    reused and combined any number of times; ``a & b``, ``a | b`` and ``~a``
    are ``and_(a, b)``, ``or_(a, b)`` and ``not_(a)``. Expressions cannot be
    pickled or copied (`TypeError`).
    """

    @staticmethod
    def eq(attr: str, value: object) -> PyQueryExpr:
        """Objects whose attribute equals the value (or lists it)."""

    @staticmethod
    def ne(attr: str, value: object) -> PyQueryExpr:
        """The objects that `eq` does not select."""

    @staticmethod
    def gt(attr: str, value: object) -> PyQueryExpr:
        """Objects whose number is greater than the value."""

    @staticmethod
    def ge(attr: str, value: object) -> PyQueryExpr:
        """Objects whose number is greater than or equal to the value."""

    @staticmethod
    def le(attr: str, value: object) -> PyQueryExpr:
        """Objects whose number is less than or equal to the value."""

    @staticmethod
    def bt(attr: str, lower: object, upper: object) -> PyQueryExpr:
        """Objects whose number lies between the bounds, both included
        (nothing when `lower` is above `upper`). Both bounds must be numbers:
        others fail when the expression is evaluated."""

    @staticmethod
    def lt(attr: str, value: object) -> PyQueryExpr:
        """Objects whose number is less than the value."""

    @staticmethod
    def in_(attr: str, values: Sequence[object]) -> PyQueryExpr:
        """Objects whose attribute equals any of the values (a list, tuple or
        range; not a str, set or dict)."""

    @staticmethod
    def and_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects selected by every expression (none for no expression)."""

    @staticmethod
    def or_(*exprs: PyQueryExpr) -> PyQueryExpr:
        """Objects selected by any expression (none for no expression)."""

    @staticmethod
    def not_(exprs: PyQueryExpr) -> PyQueryExpr:
        """The objects of the index or view queried that the expression does
        not select."""

    def __and__(self, other: PyQueryExpr, /) -> PyQueryExpr: ...
    def __or__(self, other: PyQueryExpr, /) -> PyQueryExpr: ...
    def __rand__(self, other: PyQueryExpr, /) -> PyQueryExpr: ...
    def __ror__(self, other: PyQueryExpr, /) -> PyQueryExpr: ...
    def __invert__(self) -> PyQueryExpr: ...

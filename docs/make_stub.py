"""Writes a stub (.pyi) of the Zarvex module from what the imported module
says about itself: its names, classes, methods and their text signatures,
with a one-line summary of each from SUMMARIES below. The documentation
uses it for its API reference when the source tree has no Zarvex.pyi of
its own (see docs/conf.py).

    python docs/make_stub.py OUT.pyi
"""
from __future__ import annotations

import sys

import Zarvex

SUMMARIES = {
    "Zarvex": "Live in-memory indexes of Python objects by the values of their attributes.",
    "sum_as_string": "Formats the sum of two unsigned 32-bit integers as a decimal string (wraps modulo 2**32).",
    "Index": "An index of Indexable objects by the values of their attributes; assignments to its "
             "objects' attributes update it.",
    "Index.collect": "Lists every object the index holds, in ascending object-id order.",
    "Index.reduced": "A view of the objects whose attributes match the keywords exactly "
                     "(texts, booleans, objects; a list or tuple asks for any of its values; numbers never match).",
    "Index.reduce": "Narrows this index's exact-value lookups, in place, to the objects matching the keywords.",
    "Index.get_by_attribute": "The objects whose attributes match the keywords exactly, as a list "
                              "(same matching as reduced).",
    "Index.add_object_many": "Adds every Indexable of a list or tuple; nothing is added if one element "
                             "is not an Indexable.",
    "Index.add_object": "Adds one Indexable object.",
    "Index.reduced_query": "A view of the objects matching a PyQueryExpr (numbers compare by value).",
    "Index.group_by": "A dict from each distinct value of an attribute (dotted path allowed) to a view "
                      "of the objects holding it; keys follow dict rules (equal keys share a group).",
    "Index.union_with": "Merges the attribute maps of another index into this one (the other index's "
                        "objects are not listed by this one's collect).",
    "Indexable": "Base class of objects that can be indexed; keyword arguments become attributes, "
                 "stored natively.",
    "FilteredIndex": "A view: a fixed set of objects over an index's maps (attribute changes are seen, "
                     "the set of objects is not).",
    "FilteredIndex.reduced": "Narrows the view by exact keyword matches (as Index.reduced).",
    "FilteredIndex.reduced_query": "Narrows the view by a PyQueryExpr; ``not_`` complements within the view.",
    "FilteredIndex.collect": "Lists the view's objects, in ascending object-id order.",
    "FilteredIndex.rebase": "A new standalone Index holding the view's objects, with maps of its own.",
    "PyQueryExpr": "A query expression, built by the static methods and combined with ``and_``, ``or_``, ``not_``.",
    "PyQueryExpr.eq": "attr equals value (numbers by numeric value; a list attribute matches any element).",
    "PyQueryExpr.ne": "Every object of the universe that eq(attr, value) does not match.",
    "PyQueryExpr.gt": "attr is a number greater than value.",
    "PyQueryExpr.ge": "attr is a number greater than or equal to value.",
    "PyQueryExpr.le": "attr is a number less than or equal to value.",
    "PyQueryExpr.bt": "attr is a number between lower and upper, both included.",
    "PyQueryExpr.lt": "attr is a number less than value.",
    "PyQueryExpr.in_": "attr equals any of the values (a sequence, not a str or set).",
    "PyQueryExpr.and_": "Objects matching every expression (none given: nothing).",
    "PyQueryExpr.or_": "Objects matching any of the expressions (none given: nothing).",
    "PyQueryExpr.not_": "Objects of the universe (the index, or the view queried) not matching the expression.",
}


def signature_of(obj, *, method: bool) -> str:
    text = getattr(obj, "__text_signature__", None)
    if not text:
        return "(self, *args, **kwargs)" if method else "(*args, **kwargs)"
    return text.replace("$self", "self").replace("$type", "cls")


def doc_line(key: str, indent: str) -> str:
    text = SUMMARIES.get(key)
    if text is None:
        raise SystemExit("make_stub.py: no summary for %s; add one to SUMMARIES" % key)
    return '%s"""%s"""\n' % (indent, text.replace('"""', "'''"))


def main(out: str) -> None:
    parts = ['"""%s"""\n\n' % SUMMARIES["Zarvex"], "from typing import Any\n\n", "__version__: str\n",
             "__all__ = %r\n" % list(Zarvex.__all__)]
    for name in Zarvex.__all__:
        obj = getattr(Zarvex, name)
        parts.append("\n\n")
        if not isinstance(obj, type):
            parts.append("def %s%s: ...\n" % (name, signature_of(obj, method=False)))
            parts[-1] = parts[-1][:-5] + "\n" + doc_line(name, "    ")
            continue
        parts.append("class %s:\n" % name)
        parts.append(doc_line(name, "    "))
        if name == "Indexable":
            parts.append("    def __init__(self, *args: Any, **kwargs: Any) -> None: ...\n")
            parts.append("    def __getattr__(self, name: str) -> Any: ...\n")
            parts.append("    def __setattr__(self, name: str, value: Any) -> None: ...\n")
        for attr, member in vars(obj).items():
            if attr.startswith("_"):
                continue
            static = isinstance(member, staticmethod)
            func = getattr(obj, attr)
            sig = signature_of(func, method=not static)
            parts.append("\n")
            if static:
                parts.append("    @staticmethod\n")
            parts.append("    def %s%s:\n" % (attr, sig))
            parts.append(doc_line("%s.%s" % (name, attr), "        "))
    stale = set(SUMMARIES) - {"Zarvex"} - set(Zarvex.__all__) - {
        "%s.%s" % (n, a) for n in Zarvex.__all__ if isinstance(getattr(Zarvex, n), type)
        for a in vars(getattr(Zarvex, n))}
    if stale:
        raise SystemExit("make_stub.py: summaries of names the module does not have: %s" % sorted(stale))
    with open(out, "w") as f:
        f.write("".join(parts))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "Zarvex.pyi")

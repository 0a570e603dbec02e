"""The module object: what `import Zarvex` registers, sum_as_string, and how
an internal failure reaches Python."""
import importlib
import inspect
import random
import subprocess
import sys
import textwrap

import pytest

import Zarvex

EXPECTED_ALL = ["sum_as_string", "Index", "Indexable", "FilteredIndex", "PyQueryExpr"]


def test_importing_again_gives_the_same_module():
    import Zarvex as again

    assert again is Zarvex
    assert importlib.import_module("Zarvex") is Zarvex
    assert sys.modules["Zarvex"] is Zarvex
    assert Zarvex.__name__ == "Zarvex"


def test_all_lists_the_five_names_once_in_registration_order():
    import Zarvex as again

    assert again.__all__ == EXPECTED_ALL
    assert type(Zarvex.__all__) is list


def test_a_second_interpreter_cannot_import_the_module():
    # Run in a child process so that the sub-interpreter cannot disturb this
    # one; the child imports the module in its main interpreter first.
    script = textwrap.dedent(
        """
        import importlib
        mod = None
        for name in ("_interpreters", "_xxsubinterpreters"):
            try:
                mod = importlib.import_module(name)
                break
            except ImportError:
                pass
        if mod is None:
            print("no sub-interpreters")
            raise SystemExit(0)
        import Zarvex
        # A legacy (non-isolated) interpreter, so that the module's own guard is
        # what refuses, not the interpreter's check of isolated extension modules.
        if hasattr(mod, "new_config"):
            interp = mod.create(mod.new_config("legacy"))
        else:
            try:
                interp = mod.create(isolated=False)
            except TypeError:
                interp = mod.create()
        try:
            failure = mod.run_string(interp, "import Zarvex")
            if failure is None:
                print("imported")
            else:
                print(f"refused: {failure.type.__name__}: {failure.msg}")
        except Exception as exc:
            print("refused:", exc)
        finally:
            mod.destroy(interp)
        print("main still works:", Zarvex.sum_as_string(1, 2))
        """
    )
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    if child.stdout.startswith("no sub-interpreters"):
        pytest.skip("this interpreter has no sub-interpreter module")
    lines = child.stdout.splitlines()
    assert lines[0].startswith("refused:") and "ImportError" in lines[0], child.stdout
    assert "does not support sub-interpreters" in lines[0]
    assert lines[1] == "main still works: 3"


def test_module_has_a_docstring():
    assert isinstance(Zarvex.__doc__, str) and Zarvex.__doc__.strip()


def test_star_import_brings_exactly_the_registered_names():
    namespace = {}
    exec("from Zarvex import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(EXPECTED_ALL)
    for name in EXPECTED_ALL:
        assert namespace[name] is getattr(Zarvex, name)


@pytest.mark.parametrize("name", ["Index", "Indexable", "FilteredIndex", "PyQueryExpr"])
def test_classes_are_types_named_after_their_attribute(name):
    cls = getattr(Zarvex, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name


def test_class_objects_are_shared_by_every_import():
    import Zarvex as again

    assert type(again.Index()) is Zarvex.Index
    assert type(again.Indexable()) is Zarvex.Indexable


# --- sum_as_string ---------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((1, 2), {}, "3"),
        ((), {"a": 0, "b": 0}, "0"),
        ((4294967295, 1), {}, "0"),
        ((4294967295, 0), {}, "4294967295"),
        ((0, 4294967295), {}, "4294967295"),
        ((2**31, 2**31), {}, "0"),
        ((2**31, 2**31 - 1), {}, "4294967295"),
        ((4294967295, 4294967295), {}, "4294967294"),
        ((123, 456), {}, "579"),
        ((1,), {"b": 2}, "3"),
        ((), {"b": 7, "a": 10}, "17"),
        ((10, 0), {}, "10"),
    ],
)
def test_sum_as_string_wraps_modulo_2_to_the_32(args, kwargs, expected):
    result = Zarvex.sum_as_string(*args, **kwargs)
    assert type(result) is str
    assert result == expected


def test_sum_as_string_matches_unsigned_32_bit_arithmetic():
    rng = random.Random(20240611)
    edges = [0, 1, 2**16, 2**31 - 1, 2**31, 2**32 - 2, 2**32 - 1]
    pairs = [(a, b) for a in edges for b in edges]
    pairs += [(rng.randrange(2**32), rng.randrange(2**32)) for _ in range(500)]
    for a, b in pairs:
        assert Zarvex.sum_as_string(a, b) == str((a + b) % 2**32), (a, b)


@pytest.mark.parametrize(
    "args, exc, argname",
    [
        ((-1, 1), OverflowError, "a"),
        ((2**32, 0), OverflowError, "a"),
        ((2**100, 0), OverflowError, "a"),
        ((1, -1), OverflowError, "b"),
        ((1, 2**32), OverflowError, "b"),
        (("1", 2), TypeError, "a"),
        ((1.5, 2), TypeError, "a"),
        ((None, 2), TypeError, "a"),
        ((1, "2"), TypeError, "b"),
        ((1, 2.0), TypeError, "b"),
        # a is converted and checked before b is looked at.
        ((-1, -1), OverflowError, "a"),
        ((-1, "x"), OverflowError, "a"),
        (("x", -1), TypeError, "a"),
        ((2**32, None), OverflowError, "a"),
    ],
)
def test_sum_as_string_conversion_errors_name_the_argument(args, exc, argname):
    with pytest.raises(exc) as info:
        Zarvex.sum_as_string(*args)
    assert str(info.value).startswith(f"argument '{argname}': ")


@pytest.mark.parametrize(
    "args, kwargs, needle",
    [
        ((1,), {}, "'b'"),
        ((), {"a": 1}, "'b'"),
        ((), {"b": 1}, "'a'"),
        ((), {}, "'a'"),
    ],
)
def test_sum_as_string_reports_the_missing_argument(args, kwargs, needle):
    with pytest.raises(TypeError, match="missing") as info:
        Zarvex.sum_as_string(*args, **kwargs)
    assert needle in str(info.value)
    assert "sum_as_string" in str(info.value)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((1, 2, 3), {}),
        ((1, 2), {"c": 3}),
        ((1,), {"a": 2}),
    ],
)
def test_sum_as_string_refuses_surplus_arguments(args, kwargs):
    with pytest.raises(TypeError, match="sum_as_string"):
        Zarvex.sum_as_string(*args, **kwargs)


def test_sum_as_string_signature_and_docstring():
    fn = Zarvex.sum_as_string
    assert fn.__text_signature__ == "(a, b)"
    assert fn.__doc__ == "Formats the sum of two numbers as string."
    assert list(inspect.signature(fn).parameters) == ["a", "b"]
    assert fn.__name__ == "sum_as_string"


# --- internal failures -----------------------------------------------------


def _evaluate_unsupported_comparison():
    # An ordering comparison against an object value cannot be evaluated; the
    # refusal happens before any index lock is taken.
    expr = Zarvex.PyQueryExpr.gt("n", Zarvex.Indexable())
    Zarvex.Index().reduced_query(expr)


def test_internal_error_is_importable_but_not_exported():
    assert issubclass(Zarvex.InternalError, BaseException)
    assert not issubclass(Zarvex.InternalError, Exception)
    assert "InternalError" not in Zarvex.__all__
    assert "InternalError" not in vars(__import__("Zarvex")).get("__all__")
    namespace = {}
    exec("from Zarvex import *", namespace)
    assert "InternalError" not in namespace


def test_unorderable_comparison_is_an_ordinary_type_error():
    # A user's mistake: caught by `except Exception` and `except TypeError`,
    # and still by callers that catch the internal-failure class.
    caught = []
    for _ in range(2):
        try:
            _evaluate_unsupported_comparison()
        except TypeError as error:  # noqa: PERF203
            caught.append(error)
    first, second = caught
    assert isinstance(first, Zarvex.InternalError)
    assert type(first) is type(second) is Zarvex.UnorderableError
    assert str(first) == "gt on attribute 'n': a bound of type 'Zarvex.Indexable' cannot be ordered"


def test_module_keeps_working_after_an_internal_failure():
    with pytest.raises(BaseException):
        _evaluate_unsupported_comparison()
    obj = Zarvex.Indexable(name="after")
    index = Zarvex.Index()
    index.add_object(obj)
    assert index.get_by_attribute(name="after") == [obj]
    assert Zarvex.sum_as_string(2, 2) == "4"

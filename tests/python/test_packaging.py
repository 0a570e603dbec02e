"""What the build and the package promise a user: the version comes from
pyproject.toml alone, and a source build without CRoaring or abseil stops
with a message that says what to install."""
import importlib.metadata
import pathlib
import re
import shutil
import subprocess

import pytest

import Zarvex

ROOT = pathlib.Path(__file__).resolve().parents[2]
PYPROJECT = ROOT / "pyproject.toml"


def test_version_is_the_one_written_in_pyproject_or_the_installed_metadata():
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*", Zarvex.__version__)
    assert "__version__" not in Zarvex.__all__
    if PYPROJECT.exists():
        import tomllib

        expected = tomllib.loads(PYPROJECT.read_text())["project"]["version"]
    else:  # the suite copied beside an installed wheel: compare with its metadata
        expected = importlib.metadata.version("Zarvex")
    assert Zarvex.__version__ == expected


@pytest.mark.parametrize(
    "hide, names",
    [
        (["-DCMAKE_DISABLE_FIND_PACKAGE_absl=ON"], ["Abseil", "libabsl-dev"]),
        # Every library and header under /usr is out of reach: CRoaring is
        # looked for first, so it is the one reported.
        (["-DCMAKE_IGNORE_PREFIX_PATH=/usr;/usr/local"], ["CRoaring", "libroaring-dev"]),
    ],
    ids=["abseil", "croaring"],
)
def test_a_missing_library_stops_the_configure_step_naming_what_to_install(tmp_path, hide, names):
    cmake = shutil.which("cmake")
    if cmake is None or not (ROOT / "CMakeLists.txt").exists():
        pytest.skip("needs cmake and the source tree")
    proc = subprocess.run(
        [cmake, "-S", str(ROOT), "-B", str(tmp_path), "-DZARVEX_BUILD_MODULE=OFF", *hide],
        capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode != 0
    text = " ".join(proc.stderr.split())
    for name in names:
        assert name in text, proc.stderr
    assert "apt-get install libroaring-dev libabsl-dev" in text

"""The package as shipped: the interpreter it was built for, docstrings, type stubs that match
it, and `cmake --install` putting an importable package under the prefix."""

import ast
import inspect
import os
import pathlib
import subprocess
import sys

import pytest

import quorvale_dat as qd

PACKAGE_DIR = pathlib.Path(qd.__file__).parent


def test_runs_on_the_interpreter_it_was_built_for():
    built_for = os.environ.get("QUORVALE_DAT_PYTHON")
    if not built_for:
        pytest.skip("QUORVALE_DAT_PYTHON is not set (ctest sets it)")
    assert os.path.realpath(sys.executable) == os.path.realpath(built_for)
    assert qd._native.__file__.endswith(".cpython-%d%d-x86_64-linux-gnu.so" % sys.version_info[:2])


def test_everything_public_has_a_docstring():
    missing = []
    for name in qd.__all__:
        obj = getattr(qd, name)
        if name == "__version__":
            continue
        if not (obj.__doc__ or "").strip():
            missing.append(name)
        if inspect.isclass(obj) and not issubclass(obj, BaseException):
            for attr, member in vars(obj).items():
                if attr.startswith("__") or attr.startswith("_") and attr != "_unknown":
                    continue
                if isinstance(member, type(qd.SurfacePixelFormat.P8)):
                    continue  # enumeration members
                doc = getattr(member, "__doc__", None)
                if callable(member) or inspect.isdatadescriptor(member) or isinstance(
                        member, staticmethod):
                    if not (doc or "").strip():
                        missing.append(f"{name}.{attr}")
    assert qd.__doc__ and not missing, missing


def test_stubs_match_the_package():
    stubs = ast.parse((PACKAGE_DIR / "__init__.pyi").read_text())
    assert (PACKAGE_DIR / "py.typed").exists()
    names = {n.name for n in stubs.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    names |= {t.id for n in stubs.body if isinstance(n, ast.AnnAssign) for t in [n.target]}
    assert set(qd.__all__) <= names
    for cls in (n for n in stubs.body if isinstance(n, ast.ClassDef)):
        if cls.name.startswith("_"):
            continue
        declared = {m.name for m in cls.body if isinstance(m, ast.FunctionDef)}
        if not issubclass(getattr(qd, cls.name), BaseException):  # theirs are instance attributes
            declared |= {m.target.id for m in cls.body if isinstance(m, ast.AnnAssign)}
        declared |= {t.id for m in cls.body if isinstance(m, ast.Assign) for t in m.targets}
        for member in declared:
            assert hasattr(getattr(qd, cls.name), member), f"{cls.name}.{member}"


def test_version():
    assert qd.__version__.count(".") == 2


def test_cmake_install_puts_the_package_under_the_prefix(tmp_path):
    build = os.environ.get("QUORVALE_DAT_BUILD_DIR")
    cmake = os.environ.get("QUORVALE_DAT_CMAKE")
    site = os.environ.get("QUORVALE_DAT_PYTHON_INSTALL_DIR")
    if not (build and cmake and site):
        pytest.skip("the build directory is not known (ctest sets it)")
    prefix = tmp_path / "prefix"
    subprocess.run([cmake, "--install", build, "--component", "python", "--prefix", str(prefix)],
                   check=True, capture_output=True, timeout=120)
    installed = prefix / site / "quorvale_dat"
    assert {p.name for p in installed.iterdir()} >= {"__init__.py", "__init__.pyi", "_types.py",
                                                     "py.typed"}
    run = subprocess.run(
        [sys.executable, "-c", "import quorvale_dat; print(quorvale_dat.__file__); "
                               "print(quorvale_dat.Archive)"],
        cwd=tmp_path, env={**os.environ, "PYTHONPATH": str(prefix / site)},
        check=True, capture_output=True, text=True, timeout=60)
    assert run.stdout.splitlines() == [str(installed / "__init__.py"),
                                       "<class 'quorvale_dat.Archive'>"]

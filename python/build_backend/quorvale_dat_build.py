"""The build backend (PEP 517) of the Python package quorvale_dat, kept in the tree so that
`python3 -m pip install .` needs nothing from a package index: pyproject.toml names it with
`backend-path` and requires nothing, so pip's isolated build environment stays empty.

It drives the project's own CMake build for the interpreter that runs it (pip runs the hooks
with the interpreter it installs for, a virtual environment's included), in a temporary build
directory, builds only the extension and the package's files, installs them with
`cmake --install --component python` and writes the wheel itself: the package plus a dist-info
directory with METADATA, WHEEL and RECORD.

Needs cmake (3.25 or later), a C++23 compiler, pybind11's CMake files and the interpreter's
development headers (Debian: cmake g++ pybind11-dev python3-dev); Ninja when present.

config_settings (pip install . --config-settings KEY=VALUE):
  build-dir   a directory to build in, kept afterwards (repeated builds are then incremental)
  cmake-args  further arguments for the CMake configure step, separated by spaces
  jobs        parallel build jobs (default: CMAKE_BUILD_PARALLEL_LEVEL, else all processors)
"""

import base64
import hashlib
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile

ROOT = pathlib.Path(__file__).resolve().parents[2]
NAME = "quorvale_dat"


def _version():
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*quorvale_dat\s+VERSION\s+([0-9.]+)", text)
    if not match:
        raise RuntimeError("CMakeLists.txt names no project version")
    return match.group(1)


def _project():
    import tomllib

    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _metadata():
    project = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {NAME}",
        f"Version: {_version()}",
        f"Summary: {project.get('description', '')}",
    ]
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {d}" for d in project.get("dependencies", [])]
    return "\n".join(lines) + "\n"


def _tag():
    version = "%d%d" % sys.version_info[:2]
    implementation = {"cpython": "cp"}.get(sys.implementation.name, sys.implementation.name)
    abi = f"{implementation}{version}{getattr(sys, 'abiflags', '')}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{implementation}{version}-{abi}-{platform}"


def _dist_info():
    return f"{NAME}-{_version()}.dist-info"


def _run(command, **kwargs):
    print("+", " ".join(str(c) for c in command), flush=True)
    subprocess.run([str(c) for c in command], check=True, **kwargs)


def _build_package(build, stage, config_settings):
    """Configures, builds and installs the package into stage/site; returns that directory."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise RuntimeError("building quorvale_dat needs cmake on PATH")
    settings = config_settings or {}
    configured = (build / "CMakeCache.txt").exists()
    generator = ["-G", "Ninja"] if shutil.which("ninja") and not configured else []
    _run([
        cmake, "-S", ROOT, "-B", build, *generator,
        "-DCMAKE_BUILD_TYPE=Release",
        "-DQUORVALE_DAT_BUILD_TESTS=OFF",
        "-DQUORVALE_DAT_BUILD_EXAMPLES=OFF",
        "-DQUORVALE_DAT_BUILD_BENCH=OFF",
        "-DQUORVALE_DAT_BUILD_CLI=OFF",
        "-DQUORVALE_DAT_BUILD_PYTHON=ON",
        f"-DQUORVALE_DAT_PYTHON_EXECUTABLE={sys.executable}",
        "-DQUORVALE_DAT_PYTHON_INSTALL_DIR=site",
        *settings.get("cmake-args", "").split(),
    ])
    jobs = (settings.get("jobs") or os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL")
            or os.cpu_count() or 1)
    _run([cmake, "--build", build, "--target", "quorvale_dat_python", "--parallel", jobs])
    _run([cmake, "--install", build, "--component", "python", "--prefix", stage])
    return stage / "site"


def _record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{path},sha256={digest},{len(data)}"


def _write_wheel(wheel_directory, site):
    dist_info = _dist_info()
    files = []
    for path in sorted(site.rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts:
            files.append((path.relative_to(site).as_posix(), path.read_bytes()))
    wheel = (f"Wheel-Version: 1.0\nGenerator: quorvale_dat_build\nRoot-Is-Purelib: false\n"
             f"Tag: {_tag()}\n")
    files += [
        (f"{dist_info}/METADATA", _metadata().encode()),
        (f"{dist_info}/WHEEL", wheel.encode()),
        (f"{dist_info}/top_level.txt", f"{NAME}\n".encode()),
    ]
    record = [_record_line(name, data) for name, data in files] + [f"{dist_info}/RECORD,,"]
    files.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))

    filename = f"{NAME}-{_version()}-{_tag()}.whl"
    with zipfile.ZipFile(pathlib.Path(wheel_directory) / filename, "w",
                         zipfile.ZIP_DEFLATED) as whl:
        for name, data in files:
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if name.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            whl.writestr(info, data)
    return filename


# --- PEP 517 hooks --------------------------------------------------------------------------


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    directory = pathlib.Path(metadata_directory) / _dist_info()
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "METADATA").write_text(_metadata())
    return _dist_info()


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    settings = config_settings or {}
    with tempfile.TemporaryDirectory(prefix="quorvale_dat-wheel-") as tmp:
        build = pathlib.Path(settings["build-dir"]).resolve() if settings.get("build-dir") else (
            pathlib.Path(tmp) / "build")
        site = _build_package(build, pathlib.Path(tmp) / "stage", settings)
        return _write_wheel(wheel_directory, site)


def build_sdist(sdist_directory, config_settings=None):
    """The checkout's tracked files (git ls-files), or every file but build trees and .git."""
    try:
        listed = subprocess.run(["git", "ls-files", "-z"], cwd=ROOT, check=True,
                                capture_output=True).stdout.split(b"\0")
        names = [n.decode() for n in listed if n]
    except (OSError, subprocess.CalledProcessError):
        names = [p.relative_to(ROOT).as_posix() for p in ROOT.rglob("*") if p.is_file()
                 and not {".git", "build"} & set(p.relative_to(ROOT).parts)]
    base = f"{NAME}-{_version()}"
    filename = f"{base}.tar.gz"
    path = pathlib.Path(sdist_directory) / filename
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for name in sorted(names):
            if (ROOT / name).is_file():
                tar.add(ROOT / name, arcname=f"{base}/{name}", recursive=False)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return filename

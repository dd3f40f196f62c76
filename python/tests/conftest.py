"""Fixtures of the package's tests: archives written by the project's builder (through the
test-only extension quorvale_dat_testbuilder), the sample archive, and quorvale-dat.

ctest runs these tests with the interpreter the package was built for (/usr/bin/python3 by
default) and PYTHONPATH set to the build tree's package and test-builder directories."""

import os
import subprocess

import pytest

import quorvale_dat_testbuilder as tb

# Pixel-format codes the tests build textures with.
R8G8B8, A8R8G8B8, R5G6B5, A4R4G4B4, A8, P8, INDEX16 = 20, 21, 23, 26, 28, 41, 101
CUSTOM_RAW_JPEG = 500
DXT1, DXT2, DXT3, DXT4, DXT5 = 0x31545844, 0x32545844, 0x33545844, 0x34545844, 0x35545844


@pytest.fixture(scope="session")
def builder():
    return tb


@pytest.fixture
def make_archive(tmp_path):
    """make_archive(records, **options) -> path of an archive of (id, data[, compressed])
    records, options as build_archive() takes them."""
    count = 0

    def make(records, **options):
        nonlocal count
        count += 1
        path = tmp_path / f"archive{count}.dat"
        path.write_bytes(tb.build_archive(records, **options))
        return path

    return make


@pytest.fixture(scope="session")
def sample_archive(tmp_path_factory):
    """The sample client_portal.dat that make_sample_archive writes."""
    writer = os.environ.get("QUORVALE_DAT_SAMPLE_WRITER")
    if not writer:
        pytest.skip("QUORVALE_DAT_SAMPLE_WRITER is not set (ctest sets it)")
    path = tmp_path_factory.mktemp("sample") / "client_portal.dat"
    subprocess.run([writer, str(path)], check=True, capture_output=True, timeout=60)
    return path


@pytest.fixture(scope="session")
def cli():
    """The path of quorvale-dat."""
    path = os.environ.get("QUORVALE_DAT_CLI")
    if not path:
        pytest.skip("QUORVALE_DAT_CLI is not set (ctest sets it when quorvale-dat is built)")
    return path

"""pip_install_check.py SOURCE WORK: `python3 -m pip install SOURCE` into a fresh virtual
environment made in WORK with this interpreter (--system-site-packages, so that Debian's NumPy
is there and pip has nothing to fetch), then imports the package from the environment, away from
the checkout, and reads the sample archive with it. Run by ctest as python_pip_install; exits
non-zero on any failure."""

import os
import pathlib
import shutil
import subprocess
import sys

source = pathlib.Path(sys.argv[1]).resolve()
work = pathlib.Path(sys.argv[2]).resolve()
shutil.rmtree(work, ignore_errors=True)
work.mkdir(parents=True)
venv = work / "venv"

env = {**os.environ, "PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1",
       "PIP_NO_CACHE_DIR": "1"}
env.pop("PYTHONPATH", None)
subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
python = venv / "bin" / "python"
subprocess.run([str(python), "-m", "pip", "install", "--no-index", str(source)], check=True,
               env=env, cwd=work, timeout=840)

# The sample archive, written by make_sample_archive (ctest passes its path), read through the
# installed package.
sample = work / "client_portal.dat"
subprocess.run([os.environ["QUORVALE_DAT_SAMPLE_WRITER"], str(sample)], check=True,
               capture_output=True)
check = r"""
import pathlib, sys
import quorvale_dat as qd
here = pathlib.Path(qd.__file__).resolve()
assert here.is_relative_to(pathlib.Path(sys.prefix).resolve()), here
assert (here.parent / "__init__.pyi").exists() and (here.parent / "py.typed").exists()
with qd.Archive(sys.argv[1]) as archive:
    assert archive.texture_rgba(0x06000C30).shape == (64, 64, 4)
    assert sum(1 for _ in archive.records()) == len(archive)
print(qd.__version__, here)
"""
run = subprocess.run([str(python), "-c", check, str(sample)], env=env, cwd=work,
                     capture_output=True, text=True, timeout=60)
sys.stdout.write(run.stdout)
sys.stderr.write(run.stderr)
if run.returncode != 0:
    sys.exit(run.returncode)
listed = subprocess.run([str(python), "-m", "pip", "show", "-f", "quorvale_dat"], env=env,
                        capture_output=True, text=True, check=True).stdout
assert "Version:" in listed and "_native" in listed, listed
print("pip install . into a fresh virtual environment: ok")

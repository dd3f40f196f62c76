#!/usr/bin/python3
"""bench/python_bench.py: the Python package against the C++ library, in one run.

    cmake --preset bench && cmake --build --preset bench
    /usr/bin/python3 bench/python_bench.py [--build build/bench] [--archive PATH]
                                           [--entries 200000] [--data-bytes 200M] [--rounds 5]

Two measures, each as a ratio of Python's time to the same work in C++ (bench_python_baseline):

  records       every record of the archive: `for entry, data in archive.records()` against
                DatDatabase::for_each_file
  texture_rgba  every texture (type byte 0x06): `archive.texture_rgba(id)` against get_file,
                Texture::unpack, the default palette for P8 and Index16, and texture_rgba

The two sides alternate, ROUNDS times each, in this one process and its children, so that both
meet the same machine; the table shows the medians of wall-clock time. Without --archive it
writes (once, cached under BUILD/bench-data/) an archive of bench_generate's shape with
--entries and --data-bytes: contiguous chains in 1024-byte blocks, a quarter of the textures and
palettes compressed. Run it with the interpreter the package was built for (/usr/bin/python3).
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
GOAL = 1.3


def archive_path(build, entries, data_bytes):
    generate = build / "bench" / "bench_generate"
    options = ["--entries", str(entries), "--data-bytes", data_bytes, "--block-size", "1024",
               "--layout", "contiguous"]
    key = subprocess.run([generate, "--print-key", *options], check=True, capture_output=True,
                         text=True).stdout.strip()
    path = build / "bench-data" / f"{key}.dat"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run([generate, "--out", path, *options], check=True)
    return path


def python_round(qd, archive, textures):
    start = time.perf_counter()
    count = 0
    for entry, data in archive.records():
        count += 1
    records = time.perf_counter() - start

    start = time.perf_counter()
    converted = 0
    for id in textures:
        try:
            archive.texture_rgba(id)
            converted += 1
        except qd.DatError:
            pass
    return records, time.perf_counter() - start, count, converted


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", type=pathlib.Path, default=ROOT / "build" / "bench")
    parser.add_argument("--archive", type=pathlib.Path)
    parser.add_argument("--entries", type=int, default=200000)
    parser.add_argument("--data-bytes", default="200M")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    build = args.build.resolve()
    sys.path.insert(0, str(build / "python"))
    import quorvale_dat as qd

    path = args.archive or archive_path(build, args.entries, args.data_bytes)
    baseline = build / "bench" / "bench_python_baseline"
    archive = qd.Archive(path)
    textures = [e.id for e in archive.entries(qd.RecordType.Texture)]

    py_records, py_textures, cpp_records, cpp_textures = [], [], [], []
    for _ in range(args.rounds):
        run = json.loads(subprocess.run([baseline, path, "1"], check=True, capture_output=True,
                                        text=True).stdout)
        cpp_records += run["for_each_file"]
        cpp_textures += run["texture_rgba"]
        records, texture_time, count, converted = python_round(qd, archive, textures)
        py_records.append(records)
        py_textures.append(texture_time)
        if count != run["records"] or converted != run["converted"]:
            sys.exit(f"python_bench: the two sides disagree: {count} and {run['records']} "
                     f"records, {converted} and {run['converted']} textures")

    print(f"archive: {path} ({len(archive)} entries, {archive.file_size / 2**20:.1f} MiB, "
          f"{len(textures)} textures); {args.rounds} rounds, medians; "
          f"Python {sys.version.split()[0]} ({sys.executable})")
    print("| Measure | Python | C++ | Ratio | Goal |")
    print("|---|---|---|---|---|")
    for name, py, cpp in (("Archive.records() vs for_each_file", py_records, cpp_records),
                          ("Archive.texture_rgba() of every texture vs the same in C++",
                           py_textures, cpp_textures)):
        p, c = statistics.median(py), statistics.median(cpp)
        met = "" if p / c <= GOAL else " (not met)"
        print(f"| {name} | {p * 1000:.1f} ms | {c * 1000:.1f} ms | {p / c:.2f}x | "
              f"<= {GOAL}x{met} |")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Builds the ratio table of bench/run.sh from Google Benchmark JSON files.

usage: bench/report.py RESULT.json...

Each row sets a figure beside its baseline from the same run: the median of the repetitions
(or the single run), CPU time per iteration: the process's own, or for the benchmarks that run
subprocesses (manual time) the children's; wall-clock time for those that run on several threads
(real time: the parallel extraction). Time ratios are figure / baseline (lower is
better); speed ratios are the figure's bytes per second / the baseline's (higher is better).
Rows whose benchmarks are missing from the results are left out. Each row says where the figure
and the baseline read the archive's bytes (positioned reads, a mapping, memory) and on how many
threads.
"""
import json
import re
import statistics
import sys

UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def load(paths):
    runs = {}  # name -> list of iteration runs; name -> median aggregate
    medians = {}
    context = {}
    for path in paths:
        with open(path) as f:
            text = f.read()
        if not text.strip():
            continue  # a program none of whose benchmarks matched the filter writes nothing
        data = json.loads(text)
        context.update(data.get("context", {}))
        for b in data["benchmarks"]:
            if b.get("error_occurred"):
                print(f"warning: {b['name']}: {b.get('error_message')}", file=sys.stderr)
                continue
            name = re.sub(r"/(real_time|manual_time|min_time:[\d.]+|iterations:\d+|repeats:\d+)", "",
                          b["run_name"])
            entry = dict(b)
            # Manual time (the subprocess pair: the children's CPU time) is reported as real time.
            manual = "/manual_time" in b["run_name"]
            clock = "real_time" if manual or "/real_time" in b["run_name"] else "cpu_time"
            entry["seconds"] = b[clock] * UNIT[b["time_unit"]]
            if b.get("run_type") == "aggregate":
                if b.get("aggregate_name") == "median":
                    medians[name] = entry
            else:
                runs.setdefault(name, []).append(entry)
    results = dict(medians)
    for name, entries in runs.items():
        if name not in results:
            entries.sort(key=lambda e: e["seconds"])
            results[name] = entries[len(entries) // 2]
    return results, context


def seconds_text(s):
    if s >= 1:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.1f} ms"
    if s >= 1e-6:
        return f"{s * 1e6:.2f} µs"
    return f"{s * 1e9:.0f} ns"


def rate_text(bps):
    if bps >= 1e9:
        return f"{bps / 1e9:.2f} GB/s"
    return f"{bps / 1e6:.0f} MB/s"


def figure(r, show="time"):
    name = r["_name"].replace("BM_", "")
    if show == "speed":
        return f"{name}: {rate_text(r['bytes_per_second'])}"
    text = f"{name}: {seconds_text(r['seconds'])}"
    if "bytes_per_second" in r:
        text += f" ({rate_text(r['bytes_per_second'])})"
    return text


def main(paths):
    results, context = load(paths)
    for name, r in results.items():
        r["_name"] = name
    labels = []
    for name in results:
        if "/" in name:
            label = name.split("/", 1)[1]
            if label not in labels and re.fullmatch(r"[cs]\d+", label):
                labels.append(label)

    # Contiguous archives first, then larger blocks first.
    labels.sort(key=lambda label: (label[0] != "c", -int(label[1:])))
    rows = []

    positioned = "positioned, 1 thread"
    mapped = "mapped, 1 thread"
    mapped_vs_positioned = "mapped vs positioned, 1 thread"

    def time_row(title, a, b, goal=None, source=positioned):
        if a in results and b in results:
            ra, rb = results[a], results[b]
            ratio = ra["seconds"] / rb["seconds"]
            met = "—" if goal is None else ("yes" if ratio <= goal else "**no**")
            rows.append((title, source, figure(ra), figure(rb), f"{ratio:.2f}×",
                         "—" if goal is None else f"≤ {goal:g}×", met))

    def speed_row(title, a, b, goal=None, source=positioned):
        if a in results and b in results:
            ra, rb = results[a], results[b]
            ratio = ra["bytes_per_second"] / rb["bytes_per_second"]
            met = "—" if goal is None else ("yes" if ratio >= goal else "**no**")
            rows.append((title, source, figure(ra, "speed"), figure(rb, "speed"), f"{ratio:.2f}×",
                         "—" if goal is None else f"≥ {goal:g}×", met))

    for label in labels:
        contiguous = label.startswith("c")
        kind = "contiguous" if contiguous else "scattered"
        block = label[1:]
        where = f"{kind} chains, {block}-byte blocks"
        if contiguous:
            time_row(f"Extract every record, for_each_file ({where}) vs cat",
                     f"BM_ForEachFile/{label}", f"BM_Cat/{label}", 2.0)
            time_row(f"Extract every record, for_each_file ({where}) vs one pread per block",
                     f"BM_ForEachFile/{label}", f"BM_BlockLoop/{label}")
            time_row(f"Extract every record, get_file each ({where}) vs cat",
                     f"BM_ExtractAll/{label}", f"BM_Cat/{label}")
        else:
            time_row(f"Extract every record, for_each_file ({where}) vs one pread per block",
                     f"BM_ForEachFile/{label}", f"BM_BlockLoop/{label}", 1.1)
            time_row(f"Extract every record, for_each_file ({where}) vs cat",
                     f"BM_ForEachFile/{label}", f"BM_Cat/{label}")
        # The parallel rows, one per source the bench opens the archive from.
        parallel_goal = {"c1024": 1.5, "s1024": 3.0, "s256": 5.0}.get(label)
        kinds = {"Memory": "memory", "File": "positioned", "Mapped": "mapped"}
        for source, how in (("Memory", "in-memory source"), ("File", "positioned reads"),
                            ("Mapped", "mapped source")):
            name = f"BM_ForEachFileParallel{source}/{label}"
            threads = results.get(name, {}).get("threads", 0)
            time_row(f"Extract every record, for_each_file_parallel, {how}, {threads:.0f} threads "
                     f"({where}) vs cat", name, f"BM_Cat/{label}",
                     parallel_goal if source == "Mapped" else None,
                     f"{kinds[source]}, {threads:.0f} threads (cat: 1)")
        time_row(f"Extract every record, get_file each ({where}) vs one pread per block",
                 f"BM_ExtractAll/{label}", f"BM_BlockLoop/{label}")
        time_row(f"Read every stored chain, no decompression ({where}) vs one pread per block",
                 f"BM_ExtractAllStored/{label}", f"BM_BlockLoop/{label}")
        time_row(f"get_file of a random record ({where}) vs its blocks' preads",
                 f"BM_GetFile/{label}", f"BM_GetFileBlockLoop/{label}")
        speed_row(f"get_file of a random record ({where}): bytes/s vs cat",
                  f"BM_GetFile/{label}", f"BM_Cat/{label}")
        time_row(f"get_file of a random record, mapped ({where}) vs its mapped floor",
                 f"BM_GetFileMapped/{label}", f"BM_GetFileMappedFloor/{label}", 1.5, mapped)
        time_row(f"get_file of a random record, mapped ({where}) vs positioned-read get_file",
                 f"BM_GetFileMapped/{label}", f"BM_GetFile/{label}", 0.15, mapped_vs_positioned)
        entries = results.get(f"BM_OpenMemory/{label}", {}).get("entries", 0)
        time_row(f"Open, {entries:,.0f} entries ({where}) vs bare floor",
                 f"BM_Open/{label}", f"BM_OpenFloor/{label}", 1.2)
        time_row(f"Open, {entries:,.0f} entries, mapped ({where}) vs bare floor",
                 f"BM_OpenMapped/{label}", f"BM_OpenFloor/{label}", 1.0,
                 "mapped vs the floor's preads, 1 thread")
        mem = results.get(f"BM_OpenMemory/{label}")
        floor = results.get(f"BM_OpenFloorMemory/{label}")
        if mem and floor:
            per = mem["bytes_per_entry"]
            rows.append((f"Heap bytes per directory entry after open ({where})", positioned,
                         f"Open: {per:.1f} B/entry (malloc: {mem['malloc_bytes_per_entry']:.1f})",
                         f"floor's vector: {floor['bytes_per_entry']:.1f} B/entry",
                         f"{per / floor['bytes_per_entry']:.2f}×", "≤ 32 B/entry",
                         "yes" if per <= 32 else "**no**"))
            rows.append((f"Peak heap bytes per entry during open ({where})", positioned,
                         f"Open: {mem['peak_bytes_per_entry']:.1f} B/entry",
                         f"floor: {floor['peak_bytes_per_entry']:.1f} B/entry",
                         f"{mem['peak_bytes_per_entry'] / floor['peak_bytes_per_entry']:.2f}×",
                         "—", "—"))
        time_row(f"dump_surface_80003e4's whole run ({where}) vs open alone",
                 f"BM_ToolRun/{label}", f"BM_OpenOnlyRun/{label}", 1.1)

    memory = "memory, 1 thread"
    speed_row("decompress_lrs vs LZ4_decompress_safe (output bytes/s)",
              "BM_DecompressLrs", "BM_Lz4DecompressSafe/fast", 0.75, memory)
    speed_row("decompress_lrs vs LZ4_decompress_safe of LZ4 HC streams",
              "BM_DecompressLrs", "BM_Lz4DecompressSafe/hc", source=memory)
    speed_row("decompress_lrs vs the plain reference decoder",
              "BM_DecompressLrs", "BM_ReferenceDecompressLrs", source=memory)
    speed_row("decompress_lrs vs memcpy of the output",
              "BM_DecompressLrs", "BM_Memcpy", source=memory)

    print("| Benchmark | Source, threads | Figure | Baseline | Ratio | Goal | Met? |")
    print("|---|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print()
    notes = ["Warm page cache: the archive is read whole before every benchmark run.",
             "Medians of the repetitions; CPU time per iteration (user + system; "
             "the children's for the subprocess pair; wall-clock time for the parallel rows); "
             "time ratios: lower is better, speed ratios: higher is better."]
    cached = [r["cached"] for r in results.values() if r.get("cached", -1) >= 0]
    if cached:
        notes.append(f"Lowest share of an archive's pages still in the page cache after a run: "
                     f"{min(cached):.3f} (1 = no run read from disk).")
    for key, value in context.items():
        if key.startswith("archive ") or key == "lrs corpus":
            notes.append(f"{key}: {value}")
    for n in notes:
        print(f"- {n}")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1:])

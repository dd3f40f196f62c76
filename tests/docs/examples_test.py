"""Runs every shell example of the given Markdown files and compares its output with the text.

An example is a line "$ COMMAND" inside a fenced code block; the lines after it, up to the next
"$ " line or the end of the block, are what COMMAND prints (standard output and standard error
together, in the order written). The commands of all files run one after another with bash, in
one scratch folder that holds the sample archive client_portal.dat and its damaged copy
damaged.dat, with the build's programs first on PATH, so that an example may use what an earlier
one wrote.

    examples_test.py --bin DIR README.md docs/cli.md
"""

import argparse
import difflib
import os
import subprocess
import sys
import tempfile


def examples(path):
    """Yields (line number, command, expected output) for every example in a Markdown file."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    in_block = False
    current = None
    for number, line in enumerate(lines, 1):
        if line.startswith("```"):
            if in_block and current:
                yield current
            in_block = not in_block
            current = None
            continue
        if not in_block:
            continue
        if line.startswith("$ "):
            if current:
                yield current
            current = (number, line[2:], [])
        elif current:
            current[2].append(line)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="the folder of the built programs")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    args.bin = os.path.abspath(args.bin)

    failures = 0
    count = 0
    with tempfile.TemporaryDirectory() as work:
        writer = os.path.join(args.bin, "make_sample_archive")
        for name, extra in (("client_portal.dat", []), ("damaged.dat", ["--damaged"])):
            subprocess.run([writer, *extra, os.path.join(work, name)], check=True,
                           stdout=subprocess.DEVNULL)
        env = dict(os.environ, PATH=args.bin + os.pathsep + os.environ.get("PATH", ""),
                   LC_ALL="C")
        for path in args.files:
            for number, command, expected in examples(path):
                count += 1
                run = subprocess.run(["bash", "-c", command], cwd=work, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, timeout=120)
                got = run.stdout.decode("utf-8", "replace").split("\n")
                if got and got[-1] == "":
                    got.pop()
                if got != expected:
                    failures += 1
                    print(f"{path}:{number}: $ {command}")
                    sys.stdout.writelines(
                        line + "\n" for line in difflib.unified_diff(
                            expected, got, "documented", "printed", lineterm=""))
    print(f"{count - failures} passed, {failures} failed")
    return 1 if failures or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())

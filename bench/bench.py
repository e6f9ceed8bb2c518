#!/usr/bin/python3
"""Side-by-side benchmark of vantrix-percolate, the Python pipeline a user
would script instead (bench/peer_percolation.py), and the floor `cat`, on
generated landscapes; then the desktop program's map-view costs.

    bench/run [--runs N] [--quick]

Prints one table: per input and method the median wall time of whole
processes, its ratio to vantrix-percolate with the default number of jobs,
and the peak resident memory (/usr/bin/time -v's maximum resident set size).
"""
import argparse
import glob
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
BUILD = os.environ.get("VANTRIX_BUILD_DIR", os.path.join(TOP, "build"))
PERCOLATE = os.path.join(BUILD, "src", "cli", "vantrix-percolate")
MAPVIEW = os.path.join(BUILD, "bench", "vantrix-bench-mapview")
PEER = os.path.join(HERE, "peer_percolation.py")


def measure(command, runs):
    """Median wall seconds and peak RSS (MB) of running command runs times."""
    walls, peaks = [], []
    with tempfile.NamedTemporaryFile(mode="r") as stats:
        for _ in range(runs):
            start = time.perf_counter()
            subprocess.run(["/usr/bin/time", "-v", "-o", stats.name] + command,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
            walls.append(time.perf_counter() - start)
            stats.seek(0)
            for line in stats.read().splitlines():
                if "Maximum resident set size" in line:
                    peaks.append(int(line.split(":")[1]) / 1024.0)
    return statistics.median(walls), max(peaks) if peaks else float("nan")


def methods(files):
    return [
        ("vantrix-percolate", [PERCOLATE, "-q", "-c", "1"] + files),
        ("vantrix-percolate -j1", [PERCOLATE, "-q", "-j", "1", "-c", "1"] + files),
        ("python numpy+scipy", ["/usr/bin/python3", PEER, "1"] + files),
        ("cat (floor)", ["sh", "-c", 'cat "$@" > /dev/null', "cat"] + files),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5, help="runs per method and input (default 5)")
    parser.add_argument("--quick", action="store_true", help="leave out the 10000 x 10000 inputs")
    args = parser.parse_args()

    data = os.path.join(HERE, "out", "data")
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_inputs.py"), data], check=True)
    inputs = sorted(glob.glob(os.path.join(data, "n*.txt")), key=lambda p: (int(os.path.basename(p)[1:].split("-")[0]), p))
    if args.quick:
        inputs = [p for p in inputs if not os.path.basename(p).startswith("n10000")]
    batch = sorted(glob.glob(os.path.join(data, "batch", "*.txt")))

    print(f"{'input':34} {'method':24} {'median s':>9} {'ratio':>7} {'peak MB':>8}")
    cases = [(os.path.basename(p), [p]) for p in inputs] + [(f"batch of {len(batch)} x 100x100", batch)]
    for name, files in cases:
        runs = max(3, args.runs // 2) if "n10000" in name else args.runs
        rows = [(label, *measure(command, runs)) for label, command in methods(files)]
        reference = rows[0][1]
        for label, wall, peak in rows:
            print(f"{name:34} {label:24} {wall:9.3f} {wall / reference:7.2f} {peak:8.1f}")
        print(flush=True)

    print("desktop program, map view:")
    sys.stdout.flush()
    subprocess.run([MAPVIEW, "4000"], check=True, stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    main()

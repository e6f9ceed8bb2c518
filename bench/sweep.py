#!/usr/bin/python3
"""Speed of PP sweeps: cells per second of generating and testing random
landscapes near the threshold (share 0.5927), for vantrix-sweep with the
cluster4 and walk rules at --jobs 1 and 2, against the NumPy + SciPy
pipeline a user would write instead (bench/peer_sweep.py), side by side.

    bench/sweep [--runs N]

Times are medians of whole processes (vantrix-sweep) or of the loop
(Python, without its ~0.2 s of imports), over about 100 million cells per
measurement for vantrix-sweep and 25 million for Python.
"""
import argparse
import os
import statistics
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("VANTRIX_BUILD_DIR", os.path.join(os.path.dirname(HERE), "build"))
SWEEP = os.path.join(BUILD, "src", "cli", "vantrix-sweep")
PEER = os.path.join(HERE, "peer_sweep.py")
SHARE = "0.5927"


def vantrix(size, replicates, rule, jobs):
    start = time.perf_counter()
    subprocess.run([SWEEP, "--model", "random", "--size", str(size), "--share", SHARE, "--replicates",
                    str(replicates), "--seed", "1", "--rule", rule, "-j", str(jobs), "-q"],
                   check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def python(size, replicates):
    out = subprocess.run(["/usr/bin/python3", PEER, str(size), str(replicates), SHARE, "1"], check=True,
                         capture_output=True, text=True).stdout.split()
    return float(out[1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    print(f"{'L':>5} {'rule':9} {'jobs 1 Mcells/s':>16} {'jobs 2 Mcells/s':>16} {'2 vs 1':>7} "
          f"{'python Mcells/s':>16} {'vs python':>10}")
    for size in (128, 512, 2048):
        cells = size * size
        replicates = max(4, 100_000_000 // cells)
        peer_replicates = max(2, replicates // 4)
        peer = statistics.median(python(size, peer_replicates) for _ in range(args.runs))
        peer_rate = peer_replicates * cells / peer / 1e6
        for rule in ("cluster4", "walk"):
            rates = []
            for jobs in (1, 2):
                wall = statistics.median(vantrix(size, replicates, rule, jobs) for _ in range(args.runs))
                rates.append(replicates * cells / wall / 1e6)
            print(f"{size:>5} {rule:9} {rates[0]:>16.1f} {rates[1]:>16.1f} {rates[1] / rates[0]:>6.2f}x "
                  f"{peer_rate:>16.1f} {rates[1] / peer_rate:>9.1f}x", flush=True)


if __name__ == "__main__":
    main()

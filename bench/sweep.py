#!/usr/bin/python3
"""Speed of PP sweeps, in two tables.

First, one study side by side: random landscapes of 512 x 512, 400
replicates, cluster4, 201 shares (0.5:0.7:0.001), as vantrix-sweep grows each
replicate once (--jobs 1 and 2), against the same study with 1 share,
against testing every share (the method before growing replicates, timed in
process by vantrix-bench-sweep on 21 of the shares and scaled to 201), and
against the NumPy + scipy.ndimage.label pipeline a user writes
(bench/peer_sweep.py, labelling each share: timed on 10 shares of 40
replicates and scaled to 201 shares of 400).

Second, cells per second of generating and testing random landscapes near the
threshold (share 0.5927), for vantrix-sweep with the cluster4 and walk rules
at --jobs 1 and 2, against the Python pipeline.

    bench/sweep [--runs N] [--study-only]

Times are medians of whole processes (vantrix-sweep), of the run in process
(vantrix-bench-sweep) or of the loop (Python, without its ~0.2 s of imports).
"""
import argparse
import os
import statistics
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get("VANTRIX_BUILD_DIR", os.path.join(os.path.dirname(HERE), "build"))
SWEEP = os.path.join(BUILD, "src", "cli", "vantrix-sweep")
BENCH = os.path.join(BUILD, "bench", "vantrix-bench-sweep")
PEER = os.path.join(HERE, "peer_sweep.py")
SHARE = "0.5927"


def vantrix(size, replicates, rule, jobs):
    start = time.perf_counter()
    subprocess.run([SWEEP, "--model", "random", "--size", str(size), "--share", SHARE, "--replicates",
                    str(replicates), "--seed", "1", "--rule", rule, "-j", str(jobs), "-q"],
                   check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def python(size, replicates, shares=SHARE):
    out = subprocess.run(["/usr/bin/python3", PEER, str(size), str(replicates), shares, "1"], check=True,
                         capture_output=True, text=True).stdout.split()
    return float(out[1])


def study(shares, jobs, size=512, replicates=400):
    start = time.perf_counter()
    subprocess.run([SWEEP, "--model", "random", "--size", str(size), "--share", shares, "--replicates",
                    str(replicates), "--seed", "1", "--rule", "cluster4", "-j", str(jobs), "-q"],
                   check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def in_process(shares, method, jobs, size=512, replicates=400):
    out = subprocess.run([BENCH, str(size), str(replicates), shares, method, str(jobs)], check=True,
                         capture_output=True, text=True).stdout.split()
    return float(out[0])


def studies(runs):
    fine = "0.5:0.7:0.001"
    coarse = "0.5:0.7:0.01"  # 21 of the 201 shares
    python_shares = ",".join(f"{0.5 + 0.02 * i:.2f}" for i in range(10))
    median = statistics.median
    one_pass = median(study(fine, 1) for _ in range(runs))
    one_pass2 = median(study(fine, 2) for _ in range(runs))
    single = median(study("0.5927", 1) for _ in range(runs))
    single_per_share = median(in_process("0.5927", "per-share", 1) for _ in range(runs))
    per_share = median(in_process(coarse, "per-share", 1) for _ in range(runs)) * 201 / 21
    peer = median(python(512, 40, python_shares) for _ in range(runs)) * (201 / 10) * (400 / 40)
    print("random 512 x 512, 400 replicates, cluster4, either direction; seconds (whole process unless said)")
    rows = [
        ("201 shares, one pass, --jobs 1", one_pass, ""),
        ("201 shares, one pass, --jobs 2", one_pass2, f"jobs 2 is {one_pass / one_pass2:.2f}x jobs 1"),
        ("1 share (0.5927), one pass, --jobs 1", single, f"201 shares cost {one_pass / single:.2f}x 1 share"),
        ("1 share, tested per share, in process", single_per_share, f"201 shares cost {one_pass / single_per_share:.2f}x this"),
        ("201 shares, each tested, in process (21 timed, x 201/21)", per_share, f"{per_share / one_pass:.1f}x one pass"),
        ("Python label per share (10 shares x 40 replicates timed, scaled)", peer, f"{peer / one_pass:.1f}x one pass"),
    ]
    for name, seconds, note in rows:
        print(f"  {name:<66} {seconds:>9.2f}  {note}", flush=True)
    print()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--study-only", action="store_true", help="only the first table")
    args = parser.parse_args()
    studies(args.runs)
    if args.study_only:
        return
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

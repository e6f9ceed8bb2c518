#!/usr/bin/python3
"""Patch benchmark: on the 10000 x 10000 random Byte GeoTIFF at the threshold
share 0.592746 of bench/clusters (habitat 1, cluster4, some 2.76 million
patches),
 - vantrix-percolate --table (the cluster table alone, one pass: the floor);
 - the same with --patches (a row per patch: every column);
 - the same with --lacunarity 2,4,8,16,32 (five box sides);
 - --cluster-map --values id (each cell's patch id as a GeoTIFF);
each on one job, and --patches and --cluster-map also on every core (the
first pass in bands on every job, the second on one);
beside the Python pipeline a user writes for the patch table's columns
(tests/scipy_patches.py: scipy.ndimage.label, find_objects, NumPy sums,
perimeters by shifted comparisons), stopped after --peer-limit seconds.

    bench/patches [--runs N] [--wait SECONDS] [--peer-limit SECONDS]

Prints per method the median wall time of whole processes, its ratio to the
table alone, peak resident memory and the patches found.
"""
import argparse
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from raster import measure, wait_for_quiet  # noqa: E402
from clusters import make_inputs, limited, PERCOLATE, TOP  # noqa: E402

PEER = os.path.join(TOP, "tests", "scipy_patches.py")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--wait", type=float, default=300)
    parser.add_argument("--peer-limit", type=int, default=900)
    args = parser.parse_args()
    if not os.access(PERCOLATE, os.X_OK):
        sys.exit(f"{PERCOLATE} is missing: build it first (scripts/dev bench)")
    path = make_inputs()[0][1]
    print(f"{path}: 10000 x 10000; cores: {os.cpu_count()}")
    print(f"{'method':44} {'median s':>9} {'x table':>8} {'peak MB':>8} {'patches':>9}")
    load = wait_for_quiet(args.wait)
    common = [PERCOLATE, "-q", "--cover", "1", "--extent", "full", "-o", "/dev/null"]
    with tempfile.TemporaryDirectory() as work:
        table = os.path.join(work, "t.tsv")
        patches = os.path.join(work, "p.tsv")
        ids = os.path.join(work, "ids.tif")

        def count(file):
            with open(file, "rb") as f:
                return sum(1 for _ in f) - 1

        rows = []
        cores = os.cpu_count()
        for label, extra, out, jobs in [
                ("vantrix --table", ["--table", table], None, 1),
                ("vantrix --table --patches", ["--table", table, "--patches", patches], patches, 1),
                (f"vantrix --table --patches -j {cores}", ["--table", table, "--patches", patches], patches, cores),
                ("vantrix --table --lacunarity 2,4,8,16,32", ["--table", table, "--lacunarity", "2,4,8,16,32"], None, 1),
                ("vantrix --cluster-map --values id", ["--cluster-map", ids, "--values", "id"], None, 1),
                (f"vantrix --cluster-map --values id -j {cores}", ["--cluster-map", ids, "--values", "id"], None,
                 cores)]:
            wall, peak, _, _ = measure(common + ["-j", str(jobs)] + extra + [path], args.runs)
            rows.append((label, wall, peak, str(count(out)) if out else ""))
        peer = os.path.join(work, "peer.tsv")
        wall, peak, _, _ = measure(limited(["/usr/bin/python3", PEER, "--out", peer, path], args.peer_limit), 1)
        stopped = wall >= args.peer_limit - 1
        found = "stopped"
        if not stopped and os.path.exists(peer):
            with open(peer, "rb") as f:
                found = str(sum(1 for line in f if line.startswith(b"patch\t")))
        rows.append(("python gdal+scipy patches" + (f" (stopped at {args.peer_limit} s)" if stopped else ""), wall,
                     peak, found))
        floor = rows[0][1]
        for label, wall, peak, found in rows:
            print(f"{label:44} {wall:9.2f} {wall / floor:8.2f} {peak:8.0f} {found:>9}")
    print(f"load {load:.2f} before, {os.getloadavg()[0]:.2f} after")
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""The Python module against what a Python user would write instead, on a
4000 x 4000 int32 random landscape at the site-percolation threshold (share
0.5927 of cover 1):

 - vantrix.clusters (cluster statistics of the habitat) against
   scipy.ndimage.label plus NumPy for the same columns (clusters, sizes,
   gyration, spanning, edges, mesh, cohesion, aggregation, pafrac), the
   numbers checked to agree;
 - vantrix.label against scipy.ndimage.label alone (the same labelling,
   no statistics).

Prints the minimum of 3 wall times of each, the ratio to the peer, and the
peak memory a call of vantrix.clusters adds to the process (VmHWM of a
fresh process), which stays near 0 because the array is read in
place.

    PYTHONPATH=build-py/python bench/python-bindings.py [--size N] [--jobs N]
"""
import argparse
import math
import os
import subprocess
import sys
import time

import numpy as np
from scipy import ndimage

import vantrix

SHARE = 0.5927


def landscape(size, seed=1):
    grid = np.empty((size, size), np.int32)
    rng = np.random.default_rng(seed)
    for row in range(0, size, 250):
        grid[row:row + 250] = rng.random((min(250, size - row), size)) < SHARE
    return grid


def scipy_statistics(grid):
    """The columns of vantrix.clusters for cover 1 under cluster4, with SciPy
    labelling and NumPy sums: sizes, moments (gyration, correlation length),
    spanning, edges, perimeters and the class metrics made of them."""
    habitat_cells = grid == 1
    labels, count = ndimage.label(habitat_cells)
    flat = labels.ravel()
    sizes = np.bincount(flat, minlength=count + 1)[1:].astype(np.float64)
    rows, columns = np.indices(grid.shape, dtype=np.float64)
    sum_x = np.bincount(flat, weights=columns.ravel(), minlength=count + 1)[1:]
    sum_y = np.bincount(flat, weights=rows.ravel(), minlength=count + 1)[1:]
    sum_sq = np.bincount(flat, weights=(columns ** 2 + rows ** 2).ravel(), minlength=count + 1)[1:]
    squared_gyration = np.maximum(sizes * sum_sq - sum_x ** 2 - sum_y ** 2, 0)  # s^2 R^2
    spanning = (np.intersect1d(labels[0], labels[-1]).size > 1
                or np.intersect1d(labels[:, 0], labels[:, -1]).size > 1)
    # Like adjacencies per cluster, and the sides between habitat and other cells.
    across = labels[:, 1:] == labels[:, :-1]
    down = labels[1:, :] == labels[:-1, :]
    like = (np.bincount(labels[:, 1:][across], minlength=count + 1)[1:]
            + np.bincount(labels[1:, :][down], minlength=count + 1)[1:])
    perimeter = 4 * sizes - 2 * like
    edges = int((habitat_cells[:, 1:] != habitat_cells[:, :-1]).sum()
                + (habitat_cells[1:, :] != habitat_cells[:-1, :]).sum())
    cells = grid.size
    habitat = float(sizes.sum())
    largest = int(sizes.max()) if count else 0
    finite = np.delete(sizes, np.argmax(sizes)) if count else sizes
    log_p, log_a = np.log(perimeter), np.log(sizes)
    slope = np.polyfit(log_p, log_a, 1)[0] if count >= 10 else float("nan")
    return {
        "spans": spanning,
        "habitat": int(habitat),
        "share": habitat / cells,
        "clusters": count,
        "largest": largest,
        "largest_share": largest / cells,
        "mean_size": habitat / count if count else float("nan"),
        "weighted_size": float((sizes ** 2).sum() / habitat) if habitat else float("nan"),
        "gyration_am": float(np.sqrt(squared_gyration).sum() / habitat) if habitat else float("nan"),
        "mean_size_finite": float((finite ** 2).sum() / finite.sum()) if finite.size else float("nan"),
        "edges": edges,
        "mesh": float((sizes ** 2).sum() / cells),
        "cohesion": 100 * (1 - perimeter.sum() / (perimeter * np.sqrt(sizes)).sum()) / (1 - 1 / np.sqrt(cells)),
        "aggregation": 100 * like.sum() / max_like_adjacencies(habitat),
        "pafrac": 2 / slope,
    }


def max_like_adjacencies(cells):
    """The most like adjacencies `cells` cells can have on the grid."""
    n = int(np.floor(np.sqrt(cells)))
    m = int(cells) - n * n
    return 2 * n * (n - 1) + (0 if m == 0 else 2 * m - 1 if m <= n else 2 * m - 2)


def best_of(runs, call):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return min(times), result


def memory_check(size, jobs):
    """Peak RSS (KiB) before and after vantrix.clusters in a fresh process."""
    script = (
        "import sys; sys.path[:0] = {path!r}\n"
        "import numpy as np, vantrix\n"
        "def peak():  # VmHWM: unlike getrusage's maxrss, not inherited from the parent\n"
        "    return int(next(l for l in open('/proc/self/status') if l.startswith('VmHWM')).split()[1])\n"
        "grid = np.empty(({size}, {size}), np.int32); rng = np.random.default_rng(1)\n"
        "for row in range(0, {size}, 250):\n"
        "    grid[row:row + 250] = rng.random((min(250, {size} - row), {size})) < {share}\n"
        "vantrix.clusters(grid[:8, :8])\n"
        "before = peak()\n"
        "vantrix.clusters(grid, jobs={jobs})\n"
        "after = peak()\n"
        "print(before, after, grid.nbytes // 1024)\n"
    ).format(path=sys.path, size=size, jobs=jobs, share=SHARE)
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True).stdout
    return tuple(int(v) for v in out.split())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4000)
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    grid = landscape(args.size)
    print(f"landscape: {args.size} x {args.size} int32, share {SHARE} of cover 1, cluster4, jobs {args.jobs}, "
          f"min of {args.runs} runs")

    ours, table = best_of(args.runs, lambda: vantrix.clusters(grid, cover=1, rule="cluster4", jobs=args.jobs))
    peer, stats = best_of(args.runs, lambda: scipy_statistics(grid))
    row = table.iloc[0]
    for column in ("clusters", "largest", "habitat", "edges"):
        if int(row[column]) != int(stats[column]):
            sys.exit(f"the answers differ: {column} {row[column]} against {stats[column]}")
    for column in ("mean_size", "weighted_size", "gyration_am", "mesh", "cohesion", "aggregation", "pafrac"):
        if not math.isclose(float(row[column]), stats[column], rel_tol=1e-6):
            sys.exit(f"the answers differ: {column} {row[column]} against {stats[column]}")
    if bool(row["spans"]) != bool(stats["spans"]):
        sys.exit("the answers differ: spans")
    labelled, _ = best_of(args.runs, lambda: vantrix.label(grid, cover=1, rule="cluster4", jobs=args.jobs))
    labels, _ = best_of(args.runs, lambda: ndimage.label(grid == 1))

    print()
    print(f"{'task':<22}{'vantrix s':>11}{'scipy s':>11}{'scipy/vantrix':>15}")
    print(f"{'cluster statistics':<22}{ours:>11.3f}{peer:>11.3f}{peer / ours:>15.2f}")
    print(f"{'labelling':<22}{labelled:>11.3f}{labels:>11.3f}{labels / labelled:>15.2f}")
    print()
    print(f"same answers: clusters {int(row['clusters'])}, largest {int(row['largest'])}, "
          f"spans {bool(row['spans'])}")
    before, after, array = memory_check(args.size, args.jobs)
    print(f"peak memory: {before / 1024:.0f} MiB before vantrix.clusters, {after / 1024:.0f} MiB after; "
          f"the call added {(after - before) / 1024:.1f} MiB for an array of {array / 1024:.0f} MiB "
          f"({100 * (after - before) / array:.1f} %)")


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""Writes the benchmark's landscapes into a folder: n x n grids of 1 and 0 at
the given habitat shares, with and without a blank after every value, and a
batch of 1,000 landscapes of 100 x 100. Existing files are kept.

    make_inputs.py DIR
"""
import os
import sys

import numpy as np

SIDES = (1000, 4000, 10000)
SHARES = (0.5927, 0.7)


def write(path, grid, trailing):
    if os.path.exists(path):
        return
    n_rows, n_cols = grid.shape
    width = 2 * n_cols if trailing else 2 * n_cols - 1
    text = np.full((n_rows, width + 1), ord(" "), dtype=np.uint8)
    text[:, 0:2 * n_cols:2] = grid + ord("0")
    text[:, -1] = ord("\n")
    tmp = path + ".part"
    text.tofile(tmp)
    os.replace(tmp, path)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(5927)
    for n in SIDES:
        for share in SHARES:
            grid = (rng.random((n, n), dtype=np.float32) < share).astype(np.uint8)
            for trailing in (True, False):
                name = f"n{n}-p{share}-{'blank' if trailing else 'noblank'}.txt"
                write(os.path.join(out, name), grid, trailing)
            del grid
    batch = os.path.join(out, "batch")
    os.makedirs(batch, exist_ok=True)
    for i in range(1000):
        grid = (rng.random((100, 100)) < 0.5927).astype(np.uint8)
        write(os.path.join(batch, f"b{i:04d}.txt"), grid, True)


if __name__ == "__main__":
    main()

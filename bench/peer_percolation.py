#!/usr/bin/python3
"""The pipeline a user would script instead of Vantrix: load each landscape
with a fast NumPy loader, label the habitat clusters with scipy.ndimage.label
(4-connectivity) and check whether one cluster touches two opposite edges.
Prints one line per file: path, tab, 1 or 0.

    peer_percolation.py COVER FILE...
"""
import sys

import numpy as np
from scipy import ndimage


def load(path):
    """Single-digit values in lines of equal length are read straight from the
    bytes; anything else goes through np.loadtxt."""
    raw = np.fromfile(path, dtype=np.uint8)
    if raw.size:
        first = int(np.argmax(raw == 10))
        width = first + 1
        if raw[first] == 10 and raw.size % width == 0:
            lines = raw.reshape(-1, width)
            cells = lines[:, 0:first:2]
            if ((lines[:, -1] == 10).all() and (lines[:, 1:first:2] == 32).all()
                    and ((cells >= 48) & (cells <= 57)).all()):
                return cells - 48
    return np.loadtxt(path, dtype=np.int64, ndmin=2)


def spans(habitat):
    """Whether a 4-neighbour cluster of the habitat mask touches two opposite edges."""
    labels, _ = ndimage.label(habitat)

    def shared(a, b):
        common = np.intersect1d(a, b)
        return bool(common[common != 0].size)

    return shared(labels[:, 0], labels[:, -1]) or shared(labels[0, :], labels[-1, :])


def percolates(grid, cover):
    return spans(grid == cover)


def main():
    cover = int(sys.argv[1])
    out = []
    for path in sys.argv[2:]:
        out.append(f"{path}\t{int(percolates(load(path), cover))}")
    print("\n".join(out))


if __name__ == "__main__":
    main()

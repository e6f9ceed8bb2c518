#!/usr/bin/python3
"""Cluster statistics written with SciPy, as a user would script them: read a
raster (or a text grid) whole, label each cover's cells with
scipy.ndimage.label, and compute per landscape what vantrix-percolate --table
writes, from numpy.bincount and ndimage.sum. A reference for the tests and the
Python peer of bench/clusters.

    scipy_clusters.py [--neighbours 4|8] [--cover VALUE|SET|each] [--extent square|full] [--tile S] FILE...

Prints, per file (or complete S x S square, left to right and top to bottom)
and cover: path, row, column, cover, rows, columns, cells, habitat,
clusters, largest, sum of s^2, sum of s*R and sum of s^2*R^2 (R the root mean
square distance of a cluster's cells from its centroid), tab-separated, the
sums in full precision (repr of Python floats and ints).
"""
import argparse
import re
import sys

import numpy as np
from scipy import ndimage


def open_raster(path):
    """The GDAL dataset of a raster, or None for a text grid (GDAL reads those as XYZ)."""
    from osgeo import gdal
    gdal.UseExceptions()
    gdal.PushErrorHandler("CPLQuietErrorHandler")
    try:
        ds = gdal.Open(path)
    except RuntimeError:
        ds = None
    gdal.PopErrorHandler()
    return None if ds is None or ds.GetDriver().ShortName == "XYZ" else ds


def read_grid(path):
    """The values and a mask of cells with a value."""
    ds = open_raster(path)
    if ds is not None:
        band = ds.GetRasterBand(1)
        values = band.ReadAsArray()
        valid = band.GetMaskBand().ReadAsArray() != 0
        if np.issubdtype(values.dtype, np.floating):
            integral = np.isfinite(values) & (values == np.round(values)) & (np.abs(values) < 2 ** 31)
            valid &= integral
            values = np.where(valid, values, 0).astype(np.int64)
        return values.astype(np.int64), valid
    rows = []
    with open(path, "rb") as f:
        for line in f:
            cells = []
            for field in line.rstrip(b"\n").split(b" "):
                try:
                    cells.append(int(field))
                except ValueError:
                    pass
            if cells:
                rows.append(cells)
    ROW_LENGTHS[path] = [len(r) for r in rows]
    width = max((len(r) for r in rows), default=0)
    values = np.zeros((len(rows), width), dtype=np.int64)
    valid = np.zeros((len(rows), width), dtype=bool)
    for i, r in enumerate(rows):
        values[i, :len(r)] = r
        valid[i, :len(r)] = True
    return values, valid


def statistics(habitat, structure):
    labels, count = ndimage.label(habitat, structure=structure)
    if count == 0:
        return 0, 0, 0, 0.0, 0, 0
    index = np.arange(1, count + 1)
    sizes = np.bincount(labels.ravel())[1:].astype(np.int64)
    ys, xs = np.indices(habitat.shape, dtype=np.int64)
    sx = np.rint(ndimage.sum(xs, labels, index)).astype(object)
    sy = np.rint(ndimage.sum(ys, labels, index)).astype(object)
    sxx = np.rint(ndimage.sum(xs * xs + ys * ys, labels, index)).astype(object)
    s = sizes.astype(object)
    # s^2 R^2 = s (Sxx + Syy) - Sx^2 - Sy^2, in Python integers
    s2r2 = [int(a) * int(b) - int(c) * int(c) - int(d) * int(d) for a, b, c, d in zip(s, sxx, sx, sy)]
    sum_sr = sum(np.sqrt(float(v)) for v in s2r2)  # s R = sqrt(s^2 R^2)
    largest = int(sizes.max())
    # the largest cluster left out of xi (of equal ones, the greatest s^2 R^2)
    largest_s2r2 = max(v for v, n in zip(s2r2, sizes) if int(n) == largest)
    return count, largest, sum(int(v) * int(v) for v in sizes), sum_sr, sum(s2r2), largest_s2r2


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--neighbours", type=int, default=4)
    parser.add_argument("--cover", default="1")
    parser.add_argument("--extent", default="square")
    parser.add_argument("--tile", type=int, default=0)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    structure = np.ones((3, 3), dtype=int) if args.neighbours == 8 else None
    for path in args.files:
        values, valid = read_grid(path)
        if args.tile:
            s = args.tile
            landscapes = [(r, c, values[r:r + s, c:c + s], valid[r:r + s, c:c + s])
                          for r in range(0, values.shape[0] - s + 1, s)
                          for c in range(0, values.shape[1] - s + 1, s)
                          if valid[r:r + s, c:c + s].shape == (s, s) and square_complete(path, r, c, s)]
        else:
            if args.extent == "square":
                n = values.shape[0]
                grown_values = np.zeros((n, n), dtype=np.int64)
                grown_valid = np.zeros((n, n), dtype=bool)
                w = min(n, values.shape[1])
                grown_values[:, :w] = values[:, :w]
                grown_valid[:, :w] = valid[:, :w]
                values, valid = grown_values, grown_valid
            landscapes = [(0, 0, values, valid)]
        # With tiles, every class of the squares in every square that has a
        # cell with a value (habitat 0 where it lacks the class).
        square_classes = sorted(set().union(*(set(v[p].tolist()) for _, _, v, p in landscapes)))
        for row, column, cells, present in landscapes:
            if args.cover == "each":
                found = square_classes if args.tile and present.any() else sorted(set(cells[present].tolist()))
                covers = [(str(c), [c]) for c in found]
            else:
                covers = [(args.cover, cover_values(args.cover))]
            for name, members in covers:
                habitat = present & np.isin(cells, members)
                clusters, largest, squares, sum_sr, sum_s2r2, largest_s2r2 = statistics(habitat, structure)
                print("\t".join(str(v) for v in (path, row, column, name, cells.shape[0], cells.shape[1],
                                                   int(present.sum()), int(habitat.sum()), clusters, largest,
                                                   squares, repr(sum_sr), sum_s2r2, largest_s2r2)))


def cover_values(text):
    """The values of a cover such as 7, 41,42 or 41-43 (or -5--1)."""
    out = []
    for part in text.split(","):
        low, high = re.fullmatch(r"([-+]?\d+)(?:-([-+]?\d+))?", part).groups()
        out.extend(range(int(low), int(high if high is not None else low) + 1))
    return out


ROW_LENGTHS = {}


def square_complete(path, r, c, s):
    """Whether the text rows r .. r+s-1 of path all reach column c+s (rasters always do)."""
    lengths = ROW_LENGTHS.get(path)
    if lengths is None:
        return True
    return all(lengths[i] >= c + s for i in range(r, r + s))


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Patches and landscape metrics written with SciPy from their definitions:
each cover's cells labelled by scipy.ndimage.label, measured with NumPy, on
whole rectangular grids (vantrix-percolate --extent full) or in S x S squares.

    scipy_patches.py [--neighbours 4|8] [--cover VALUE|SET|each] [--tile S] [--direction D]
                     [--min-cells N] [--lacunarity 2,4,8] [--ids] FILE...

Prints tab-separated lines, reals as Python's repr, NA where undefined:
"patch" and the columns of --patches (in the order of the patches' first
cells), "table" PATH ROW COLUMN COVER and the metrics from edges to the
lacunarities; with --ids only "ids" PATH ROW COLUMN COVER and every cell's
patch id row by row (0 other cells, 4294967295 cells without a value).
"""
import argparse
import math
import os
import sys

import numpy as np
from scipy import ndimage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scipy_clusters import cover_values, open_raster, read_grid  # noqa: E402


def georeference(path):
    """The geotransform (or None) and whether the coordinate system is projected."""
    ds = open_raster(path)
    if ds is None:
        return None, False
    gt = ds.GetGeoTransform(can_return_null=True)
    srs = ds.GetSpatialRef()
    return gt, gt is not None and srs is not None and bool(srs.IsProjected())


def text(v):
    if v is None or (isinstance(v, float) and not math.isfinite(v)):
        return "NA"
    return repr(float(v)) if isinstance(v, (float, np.floating)) else str(int(v))


def least_perimeter(a):
    n = math.isqrt(a)
    m = a - n * n
    return 4 * n if m == 0 else 4 * n + 2 if m <= n else 4 * n + 4


def most_like_adjacencies(a):
    n = math.isqrt(a)
    m = a - n * n
    return 2 * n * (n - 1) if m == 0 else 2 * n * (n - 1) + 2 * m - (1 if m <= n else 2)


def patches(habitat, structure):
    """Per patch, in the order of first cells: cells, vertical and horizontal
    sides of its perimeter, bounding slices, mean row and column, RMS and mean
    distance of its cells from their centroid, first cell; and the cells'
    patch numbers in that order."""
    labels, n = ndimage.label(habitat, structure=structure)
    if n == 0:
        return [], np.zeros(habitat.shape, dtype=np.int64)
    h, w = habitat.shape
    index = np.arange(1, n + 1)
    rows, columns = np.indices(habitat.shape)
    cells = np.bincount(labels.ravel(), minlength=n + 1)
    padded = np.pad(labels, 1)
    sides = {}
    for name, shifts in (("vertical", ((0, -1), (0, 1))), ("horizontal", ((-1, 0), (1, 0)))):
        sides[name] = np.zeros(n + 1, dtype=np.int64)
        for dr, dc in shifts:
            other = padded[1 + dr:h + 1 + dr, 1 + dc:w + 1 + dc]
            side = (labels > 0) & (other != labels)
            sides[name] += np.bincount(labels[side], minlength=n + 1)
    mean_row = np.asarray(ndimage.mean(rows, labels, index))
    mean_column = np.asarray(ndimage.mean(columns, labels, index))
    inside = labels > 0
    d2 = np.zeros(habitat.shape)
    d2[inside] = (rows[inside] - mean_row[labels[inside] - 1]) ** 2 + \
        (columns[inside] - mean_column[labels[inside] - 1]) ** 2
    rms = np.sqrt(np.asarray(ndimage.mean(d2, labels, index)))
    mean_distance = np.asarray(ndimage.mean(np.sqrt(d2), labels, index))
    first = np.asarray(ndimage.minimum(rows * w + columns, labels, index))
    boxes = ndimage.find_objects(labels)
    found = [(int(cells[k + 1]), int(sides["vertical"][k + 1]), int(sides["horizontal"][k + 1]), boxes[k],
              float(mean_row[k]), float(mean_column[k]), float(rms[k]), float(mean_distance[k]), int(first[k]))
             for k in np.argsort(first)]
    return found, np.argsort(np.argsort(first))[labels - 1] + 1


def table_metrics(habitat, valid, found, geometry, sides_of_boxes):
    width, height, cell_area, units = geometry
    z = int(valid.sum())
    other = valid & ~habitat
    across = int((habitat[:, :-1] & other[:, 1:]).sum() + (other[:, :-1] & habitat[:, 1:]).sum())
    along = int((habitat[:-1] & other[1:]).sum() + (other[:-1] & habitat[1:]).sum())
    edges = across + along
    density = (across * height + along * width) / (z * cell_area) if units else edges / z
    a = np.array([p[0] for p in found], dtype=float)
    perimeter = np.array([p[1] + p[2] for p in found], dtype=float)
    squares = float((a * a).sum())
    mesh = squares / z * cell_area
    split = z * z / squares if squares else None
    weighted = float((perimeter * np.sqrt(a)).sum())
    cohesion = 100 * (1 - perimeter.sum() / weighted) / (1 - 1 / math.sqrt(z)) if weighted and z > 1 else None
    like = int((habitat[:, :-1] & habitat[:, 1:]).sum() + (habitat[:-1] & habitat[1:]).sum())
    most = most_like_adjacencies(int(habitat.sum()))
    aggregation = 100.0 * like / most if most else None
    pafrac = None
    if len(found) >= 10:
        x, y = np.log(perimeter), np.log(a)
        slope = ((x - x.mean()) * (y - y.mean())).sum() / ((x - x.mean()) ** 2).sum()
        pafrac = 2 / slope
    lacunarity = []
    h, w = habitat.shape
    totals = np.pad(np.cumsum(np.cumsum(habitat.astype(np.int64), 0), 1), ((1, 0), (1, 0)))
    for r in sides_of_boxes:
        if r > h or r > w:
            lacunarity.append(None)
            continue
        s = totals[r:, r:] - totals[:-r, r:] - totals[r:, :-r] + totals[:-r, :-r]
        lacunarity.append(s.size * float((s * s).sum()) / float(s.sum()) ** 2 if s.sum() else None)
    return [edges, float(density), float(mesh), split, cohesion, aggregation, pafrac] + lacunarity


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--neighbours", type=int, default=4)
    parser.add_argument("--cover", default="1")
    parser.add_argument("--tile", type=int, default=0)
    parser.add_argument("--direction", default="either")
    parser.add_argument("--min-cells", type=int, default=1)
    parser.add_argument("--lacunarity", default="")
    parser.add_argument("--ids", action="store_true")
    parser.add_argument("--out", help="write here rather than to standard output")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    if args.out:
        sys.stdout = open(args.out, "w")
    structure = np.ones((3, 3), dtype=int) if args.neighbours == 8 else None
    boxes = [int(r) for r in args.lacunarity.split(",") if r]
    for path in args.files:
        values, valid = read_grid(path)
        gt, projected = georeference(path)
        geometry = (math.hypot(gt[1], gt[4]), math.hypot(gt[2], gt[5]), abs(gt[1] * gt[5] - gt[2] * gt[4]), True) \
            if projected else (1, 1, 1, False)
        s = args.tile
        squares = [(r, c) for r in range(0, values.shape[0] - s + 1, s)
                   for c in range(0, values.shape[1] - s + 1, s)] if s else [(0, 0)]
        landscapes = [(r, c, values[r:r + s, c:c + s], valid[r:r + s, c:c + s]) if s else (r, c, values, valid)
                      for r, c in squares]
        landscapes = [ls for ls in landscapes if ls[3].any()]
        every_class = sorted(set().union(*(set(v[p].tolist()) for _, _, v, p in landscapes)))
        for r0, c0, cells, present in landscapes:
            if args.cover == "each":
                covers = [(str(c), [c]) for c in (every_class if s else sorted(set(cells[present].tolist())))]
            else:
                covers = [(args.cover, cover_values(args.cover))]
            lines = []
            for name, members in covers:
                habitat = present & np.isin(cells, members)
                found, ids = patches(habitat, structure)
                if args.ids:
                    ids = np.where(habitat, ids, np.where(present, 0, 0xFFFFFFFF))
                    print("\t".join(["ids", path, str(r0), str(c0), name, " ".join(map(str, ids.ravel()))]))
                    continue
                metrics = table_metrics(habitat, present, found, geometry, boxes)
                print("\t".join(["table", path, str(r0), str(c0), name] + [text(v) for v in metrics]))
                for k, p in enumerate(found, start=1):
                    lines.append((p[8], patch_line(path, r0, c0, name, k, p, cells.shape, gt, geometry,
                                                   args.direction)))
            for first, line in sorted(lines, key=lambda x: x[0]):
                if int(line[5]) >= args.min_cells:
                    print("\t".join(["patch"] + line))


def patch_line(path, r0, c0, name, k, p, shape, gt, geometry, direction):
    cells, vertical, horizontal, box, mean_row, mean_column, rms, mean_distance = p[:8]
    width, height, cell_area, units = geometry
    perimeter = vertical + horizontal
    row_min, row_max = box[0].start, box[0].stop - 1
    column_min, column_max = box[1].start, box[1].stop - 1
    cr, cc = r0 + mean_row + 0.5, c0 + mean_column + 0.5
    x = gt[0] + cc * gt[1] + cr * gt[2] if gt else None
    y = gt[3] + cc * gt[4] + cr * gt[5] if gt else None
    edges = {"L": column_min == 0, "R": column_max == shape[1] - 1, "T": row_min == 0, "B": row_max == shape[0] - 1}
    touches = "".join(e for e in "LRTB" if edges[e]) or "-"
    left_right, top_bottom = edges["L"] and edges["R"], edges["T"] and edges["B"]
    spans = {"either": left_right or top_bottom, "left-right": left_right, "top-bottom": top_bottom}[direction]
    frac = 2 * math.log(0.25 * perimeter) / math.log(cells) if cells > 1 else None
    fields = [path, r0, c0, name, k, cells, cells * cell_area if units else cells, perimeter,
              vertical * height + horizontal * width if units else perimeter,
              r0 + row_min, r0 + row_max, c0 + column_min, c0 + column_max, cr, cc, x, y, rms, mean_distance,
              perimeter / least_perimeter(cells), frac, touches, int(spans)]
    return [f if isinstance(f, str) else text(f) for f in fields]


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Writes the example landscapes in examples/: 64 x 64 grids of 1 (habitat)
and 0 at habitat shares below, near and above the percolation threshold of
about 0.5927, one with a blank after every value and one without, plus one
that uses class values 0..9 for trying other cover values; and
landcover.tif, a land-cover-like GeoTIFF of 192 x 256 cells (6 classes in
patches, a corner without data), for the cluster tables and maps. The
GeoTIFF needs GDAL's Python bindings (Debian's python3-gdal)."""
import math
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, os.pardir, "examples")
SIDE = 64


def write(name, rows, trailing_blank):
    with open(os.path.join(OUT, name), "w", newline="\n") as f:
        for row in rows:
            line = " ".join(str(v) for v in row)
            f.write(line + (" \n" if trailing_blank else "\n"))


def binary(share, rng):
    return [[1 if rng.random() < share else 0 for _ in range(SIDE)] for _ in range(SIDE)]


def landcover(rng, rows, columns, classes):
    """Smooth waves of random direction summed and cut into classes; 0 (nodata)
    in the bottom-left corner."""
    waves = []
    for _ in range(10):
        angle = rng.random() * 2 * math.pi
        frequency = (0.006 + 0.03 * rng.random()) * 2 * math.pi
        waves.append((frequency * math.cos(angle), frequency * math.sin(angle), rng.random() * 2 * math.pi,
                      0.5 + rng.random()))
    grid = []
    for y in range(rows):
        row = []
        for x in range(columns):
            v = sum(w * math.sin(kx * x + ky * y + phase) for kx, ky, phase, w in waves)
            v += 0.08 * (rng.random() - 0.5)
            cls = min(classes - 1, max(0, int((v / 7.0 + 0.5) * classes))) + 1
            row.append(0 if (y > rows - 40 and x < 40) else cls)
        grid.append(row)
    return grid


def write_landcover(path, grid):
    from osgeo import gdal, osr
    gdal.UseExceptions()
    rows, columns = len(grid), len(grid[0])
    part = path + ".part.tif"
    ds = gdal.GetDriverByName("GTiff").Create(part, columns, rows, 1, gdal.GDT_Byte, ["COMPRESS=DEFLATE"])
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32633)
    ds.SetProjection(srs.ExportToWkt())
    ds.SetGeoTransform([512000.0, 30.0, 0.0, 5802000.0, 0.0, -30.0])
    band = ds.GetRasterBand(1)
    band.SetNoDataValue(0)
    band.WriteRaster(0, 0, columns, rows, bytes(v for row in grid for v in row))
    ds = None
    os.replace(part, path)


def main():
    os.makedirs(OUT, exist_ok=True)
    rng = random.Random(59)
    write("cover-0.45.txt", binary(0.45, rng), True)
    write("cover-0.59.txt", binary(0.5927, rng), True)
    write("cover-0.59-no-trailing-blank.txt", binary(0.5927, rng), False)
    write("cover-0.75.txt", binary(0.75, rng), True)
    write("classes-0-9.txt", [[rng.randrange(10) for _ in range(SIDE)] for _ in range(SIDE)], True)
    write_landcover(os.path.join(OUT, "landcover.tif"), landcover(random.Random(17), 192, 256, 6))


if __name__ == "__main__":
    main()

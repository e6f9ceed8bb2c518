#!/usr/bin/python3
"""The pipeline a user would script instead of Vantrix for a raster: read band
1 whole with GDAL's Python bindings, label the cells equal to the cover value
(not nodata) with scipy.ndimage.label (4-connectivity) and check whether one
cluster touches two opposite edges. The grid is the square of the first n
columns of the n lines, as Vantrix takes it. Prints one line per file: path,
tab, 1 or 0.

    peer_raster.py COVER FILE...
"""
import sys

from osgeo import gdal

from peer_percolation import spans


def habitat(path, cover):
    ds = gdal.Open(path)
    band = ds.GetRasterBand(1)
    cells = band.ReadAsArray()
    n = cells.shape[0]
    cells = cells[:, :n]
    found = cells == cover
    nodata = band.GetNoDataValue()
    if nodata is not None and nodata == cover:
        found[:] = False
    return found


def main():
    gdal.UseExceptions()
    cover = int(sys.argv[1])
    out = []
    for path in sys.argv[2:]:
        out.append(f"{path}\t{int(spans(habitat(path, cover)))}")
    print("\n".join(out))


if __name__ == "__main__":
    main()

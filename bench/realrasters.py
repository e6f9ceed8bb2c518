#!/usr/bin/python3
"""Real rasters that no one here made, read as rasters and as the same grids
exported to the plain-text landscape format: vantrix-percolate must give the
same answers on both, for several cover values, the rules walk, cluster4 and
cluster8, whole and in tiles. The answers of cluster4 and cluster8 are also
checked against scipy.ndimage.label on the same cells.

    bench/realrasters.py

The rasters come from Debian packages of R libraries (example data of
general spatial libraries, not of a landscape-metrics tool):
  r-cran-stars  tif/lc.tif              land cover (NLCD classes), Byte, 84 x 46
  r-cran-stars  tif/olinda_dem_utm25s.tif  elevation (SRTM, Olinda), Float32, 111 x 111
  r-cran-stars  tif/L7_ETMs.tif         Landsat 7 bands, Byte, 349 x 352 x 6 (band 4 used)
  r-cran-terra  ex/elev.tif             elevation (Luxembourg), Int16, nodata -32768, 95 x 90
They are taken from /usr/lib/R/site-library when the packages are installed,
else the packages are fetched with `apt-get download` and unpacked (dpkg-deb
-x) under bench/out/realrasters/debs/, so that R itself is not installed.
Derived inputs (made with gdal_translate into bench/out/realrasters/) add the
ESRI ASCII grid driver and classified elevations.

Text export: values separated by single blanks, a blank after each value,
one line per raster line; a cell without a value (nodata, the mask, a
non-integral value) is written as SENTINEL, which is never a cover value
tested. Prints one line per input and a summary; exit status 1 on any
difference.
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys

import numpy as np
from osgeo import gdal
from scipy import ndimage

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
BUILD = os.environ.get("VANTRIX_BUILD_DIR", os.path.join(TOP, "build"))
PERCOLATE = os.path.join(BUILD, "src", "cli", "vantrix-percolate")
OUT = os.path.join(HERE, "out", "realrasters")
SITE = "/usr/lib/R/site-library"
SENTINEL = -999999
RULES = ("walk", "cluster4", "cluster8")
TILES = (None, 10, 23)

# (package, path under the site library)
SOURCES = {
    "lc": ("r-cran-stars", "stars/tif/lc.tif"),
    "olinda": ("r-cran-stars", "stars/tif/olinda_dem_utm25s.tif"),
    "landsat": ("r-cran-stars", "stars/tif/L7_ETMs.tif"),
    "elev": ("r-cran-terra", "terra/ex/elev.tif"),
}


def find(key):
    """The path of a source raster, fetching and unpacking its package if needed."""
    package, relative = SOURCES[key]
    installed = os.path.join(SITE, relative)
    if os.path.exists(installed):
        return installed
    unpacked = os.path.join(OUT, "debs", package)
    path = os.path.join(unpacked, SITE.lstrip("/"), relative)
    if not os.path.exists(path):
        work = os.path.join(OUT, "debs")
        os.makedirs(work, exist_ok=True)
        for old in glob.glob(os.path.join(work, f"{package}_*.deb")):
            os.remove(old)
        # Needs the package lists (apt-get update) once.
        subprocess.run(["apt-get", "download", package], cwd=work, check=True, stdout=subprocess.DEVNULL)
        deb = glob.glob(os.path.join(work, f"{package}_*.deb"))[0]
        shutil.rmtree(unpacked, ignore_errors=True)
        subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
    return path


def translate(source, target, *options):
    """gdal_translate into a folder of its own first, then the file and its
    side files (.prj, .aux.xml) into place, the file itself last."""
    if not os.path.exists(target):
        part = os.path.join(OUT, ".part")
        shutil.rmtree(part, ignore_errors=True)
        os.makedirs(part)
        made = os.path.join(part, os.path.basename(target))
        subprocess.run(["gdal_translate", "-q", *options, source, made], check=True, stderr=subprocess.DEVNULL)
        for side in os.listdir(part):
            if side != os.path.basename(target):
                os.replace(os.path.join(part, side), os.path.join(OUT, side))
        os.replace(made, target)
        os.rmdir(part)
    return target


def inputs():
    """(name, raster path, band, description) of every input."""
    os.makedirs(OUT, exist_ok=True)
    lc, olinda, landsat, elev = (find(k) for k in ("lc", "olinda", "landsat", "elev"))
    o = lambda name: os.path.join(OUT, name)
    return [
        ("lc.tif", lc, 1, "land cover, Byte, as is"),
        ("lc.asc", translate(lc, o("lc.asc"), "-of", "AAIGrid"), 1, "the same as ESRI ASCII grid"),
        ("elev.tif", elev, 1, "elevation, Int16 with nodata -32768, as is"),
        ("elev.asc", translate(elev, o("elev.asc"), "-of", "AAIGrid"), 1, "the same as ESRI ASCII grid"),
        ("elev-classes.tif", translate(elev, o("elev-classes.tif"), "-ot", "Byte", "-scale", "141", "547", "1", "10",
                                       "-a_nodata", "0"), 1, "elevation in 10 classes, Byte, nodata 0"),
        ("olinda.tif", olinda, 1, "elevation, Float32 (integral values), as is"),
        ("olinda-classes.tif", translate(olinda, o("olinda-classes.tif"), "-ot", "Int16", "-scale", "-1", "88", "0", "9"),
         1, "elevation in 10 classes, Int16"),
        ("landsat.tif band 4", landsat, 4, "Landsat 7 band 4, Byte, --band 4"),
    ]


def cells_of(path, band):
    """Values and validity of a band, as Vantrix reads them."""
    ds = gdal.Open(path)
    b = ds.GetRasterBand(band)
    raw = b.ReadAsArray().astype(np.float64)
    valid = b.GetMaskBand().ReadAsArray() != 0
    valid &= np.isfinite(raw) & (raw == np.round(raw)) & (raw >= -2**31) & (raw < 2**31)
    values = np.where(valid, raw, 0).astype(np.int64)
    return values, valid, b.GetNoDataValue(), b.DataType


def export_text(values, valid, path):
    with open(path, "w") as f:
        for row, ok in zip(values, valid):
            f.write("".join(f"{v if k else SENTINEL} " for v, k in zip(row.tolist(), ok.tolist())) + "\n")


def covers_of(values, valid, nodata):
    present, counts = np.unique(values[valid], return_counts=True)
    if present.size <= 16:
        chosen = set(present.tolist())
    else:
        order = present[np.argsort(-counts, kind="stable")]
        chosen = set(order[:6].tolist()) | {int(present[0]), int(present[-1]), int(present[present.size // 2])}
    if nodata is not None and float(nodata).is_integer():
        chosen.add(int(nodata))  # never habitat, in either form
    chosen.add(int(present.max()) + 1000)  # absent
    chosen.discard(SENTINEL)
    return sorted(chosen)


def spans(habitat, structure):
    labels, _ = ndimage.label(habitat, structure=structure)
    def shared(a, b):
        common = np.intersect1d(a, b)
        return bool(common[common != 0].size)
    return int(shared(labels[:, 0], labels[:, -1]) or shared(labels[0, :], labels[-1, :]))


def reference(values, valid, cover, rule, tile):
    """scipy's answers for cluster4 / cluster8, in report order."""
    structure = np.ones((3, 3), int) if rule == "cluster8" else None
    habitat = valid & (values == cover)
    rows, width = habitat.shape
    if tile is None:
        square = np.zeros((rows, rows), bool)
        square[:, :min(rows, width)] = habitat[:, :rows]
        return [spans(square, structure)]
    return [spans(habitat[t:t + tile, l:l + tile], structure)
            for t in range(0, rows - tile + 1, tile) for l in range(0, width - tile + 1, tile)]


def answers(stdout, path):
    """The answers of path's lines (PATH or PATH#R,C) in report order, with the square names."""
    out = []
    for line in stdout.splitlines():
        name, _, value = line.rpartition("\t")
        if name == path or name.startswith(path + "#"):
            out.append((name[len(path):], int(value)))
    return out


def main():
    argparse.ArgumentParser(description=__doc__.split("\n\n")[0]).parse_args()
    gdal.UseExceptions()
    if not os.access(PERCOLATE, os.X_OK):
        sys.exit(f"{PERCOLATE} is missing: build it first")
    failures = 0
    print(f"{'input':20} {'type':8} {'size':>9} {'covers':>6} {'runs':>5} {'equal':>5} {'answers 1':>9} "
          f"{'vs scipy':>9}  description")
    total_runs = 0
    for name, raster, band, description in inputs():
        values, valid, nodata, dtype = cells_of(raster, band)
        text = os.path.join(OUT, name.replace(" ", "-") + ".txt")
        export_text(values, valid, text)
        covers = covers_of(values, valid, nodata)
        runs = equal = ones = checked = agreed = 0
        for cover in covers:
            for rule in RULES:
                for tile in TILES:
                    command = [PERCOLATE, "-q", "-j", "1", "-c", str(cover), "--rule", rule]
                    if tile:
                        command += ["--tile", str(tile)]
                    from_raster = subprocess.run(command + ["--band", str(band), raster], capture_output=True, text=True)
                    from_text = subprocess.run(command + [text], capture_output=True, text=True)
                    a, b = answers(from_raster.stdout, raster), answers(from_text.stdout, text)
                    runs += 1
                    same = (a == b and a and from_raster.returncode == 0 and from_text.returncode == 0)
                    if same:
                        equal += 1
                        ones += sum(v for _, v in a)
                    else:
                        failures += 1
                        print(f"DIFFERENT: {name} cover {cover} {rule} tile {tile}: raster {a[:8]} "
                              f"(status {from_raster.returncode}, {from_raster.stderr.strip()[:200]}), "
                              f"text {b[:8]} (status {from_text.returncode}, {from_text.stderr.strip()[:200]})")
                    if rule != "walk":
                        checked += 1
                        if [v for _, v in a] == reference(values, valid, cover, rule, tile):
                            agreed += 1
                        else:
                            failures += 1
                            print(f"SCIPY DIFFERS: {name} cover {cover} {rule} tile {tile}")
        total_runs += runs
        size = f"{values.shape[1]}x{values.shape[0]}"
        print(f"{name:20} {gdal.GetDataTypeName(dtype):8} {size:>9} {len(covers):6} {runs:5} {equal:5} {ones:9} "
              f"{agreed:4}/{checked:<4}  {description}; covers {covers}", flush=True)
    print(f"{total_runs} runs (each on the raster and on its text), {failures} differences")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Moving-window benchmark: `vantrix-percolate --window` on
 - a 10000 x 10000 land-cover GeoTIFF (the first 10000 rows and columns of
   bench/clusters' landcover-20000), class 8, cluster4: windows of 100 cells
   every 10 cells (10^6 windows), as a map of answers, as a map of every
   statistic (--table) and as a table of rows (--window-table), beside one
   --table pass over the whole map;
 - a smaller crop (--grass-side, default 400) with a window at every cell
   (--step 1) and at every 10th, beside GRASS's r.li.patchnum with the same
   moving window at every cell (patches of class 8; r.li has no step),
   stopped after --grass-limit seconds; the patch counts of the windows
   that lie inside the map are compared;
 - with --largemap, the 10^10-cell map of bench/largemap with windows of
   1000 cells every 100: wall time and peak memory.

    bench/windows [--runs N] [--grass-side CELLS] [--grass-limit SECONDS] [--largemap]

Prints wall time (median of --runs; one run for crops above 1000), peak
resident memory and the ratio to the whole-map table pass (or to GRASS).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from raster import measure, wait_for_quiet  # noqa: E402
import clusters  # noqa: E402

TOP = os.path.dirname(HERE)
BUILD = os.environ.get("VANTRIX_BUILD_DIR", os.path.join(TOP, "build"))
PERCOLATE = os.path.join(BUILD, "src", "cli", "vantrix-percolate")
OUT = os.path.join(HERE, "out", "windows")
LARGEMAP = os.path.join(HERE, "out", "largemap", "landcover-100000.tif")
CLASS = "8"


def crop(source, side, path):
    if not os.path.exists(path):
        part = path + ".part.tif"
        subprocess.run(["gdal_translate", "-q", "-srcwin", "0", "0", str(side), str(side), "-co", "TILED=YES",
                        "-co", "COMPRESS=LZW", source, part], check=True)
        os.replace(part, path)
    return path


def windows_run(path, size, step, outputs, work):
    command = [PERCOLATE, "-q", "--rule", "cluster4", "--extent", "full", "--cover", CLASS, "-o", "/dev/null",
               "--window", str(size), "--step", str(step)]
    if "map" in outputs:
        command += ["--window-map", os.path.join(work, "w.tif")]
    if "statistics" in outputs:
        command += ["--table", "/dev/null"]
    if "table" in outputs:
        command += ["--window-table", os.path.join(work, "w.tsv")]
    return command + [path]


def grass_patchnum(path, side, size, work, limit):
    """GRASS r.li.patchnum over class 8 with a size x size moving window; the
    output raster's path, or None when it did not finish."""
    home = os.path.join(work, "home")
    os.makedirs(os.path.join(home, ".grass8", "r.li"), exist_ok=True)
    share = size / side
    with open(os.path.join(home, ".grass8", "r.li", "vantrixbench"), "w") as f:
        f.write(f"SAMPLINGFRAME 0|0|1|1\nSAMPLEAREA -1|-1|{share!r}|{share!r}\nMOVINGWINDOW\n")
    out = os.path.join(work, "grass.tif")
    script = (f"r.in.gdal --q input={path} output=m && g.region raster=m && "
              f"r.mapcalc --q 'h = if(m=={CLASS},1,null())' && "
              f"r.li.patchnum input=h config=vantrixbench output=pn && "
              f"r.out.gdal --q -c input=pn output={out} format=GTiff type=Float64")
    command = ["timeout", "--signal=KILL", str(limit), "grass", "-c", path, os.path.join(work, "gdb"),
               "--exec", "bash", "-c", script]
    env = dict(os.environ, HOME=home)
    start = time.perf_counter()
    done = subprocess.run(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    wall = time.perf_counter() - start
    return (out if done.returncode == 0 and os.path.exists(out) else None), wall


def agreement(grass_tif, window_map):
    """Windows (pixels of the window map at every cell that are not nodata)
    whose patch counts GRASS and Vantrix agree on."""
    import numpy as np
    from osgeo import gdal
    gdal.UseExceptions()
    grass = gdal.Open(grass_tif)  # held: a band outlives no dataset in GDAL's bindings
    ours = gdal.Open(window_map)
    band = [ours.GetRasterBand(b) for b in range(1, ours.RasterCount + 1)
            if ours.GetRasterBand(b).GetDescription() == "clusters"][0]
    agree = total = 0
    for y in range(0, ours.RasterYSize, 256):
        rows = min(256, ours.RasterYSize - y)
        theirs = grass.GetRasterBand(1).ReadAsArray(0, y, ours.RasterXSize, rows)
        counts = band.ReadAsArray(0, y, ours.RasterXSize, rows)
        inside = ~np.isnan(counts)
        total += int(inside.sum())
        agree += int((theirs[inside] == counts[inside]).sum())
    return agree, total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--wait", type=float, default=300)
    parser.add_argument("--grass-side", type=int, default=400)
    parser.add_argument("--grass-limit", type=int, default=1800)
    parser.add_argument("--largemap", action="store_true")
    args = parser.parse_args()
    if not os.access(PERCOLATE, os.X_OK):
        sys.exit(f"{PERCOLATE} is missing: build it first (scripts/dev bench)")
    os.makedirs(OUT, exist_ok=True)
    land = [path for _, path, cover in clusters.make_inputs() if cover == CLASS][0]
    map10k = crop(land, 10000, os.path.join(OUT, "landcover-10000.tif"))
    print(f"vantrix-percolate: {PERCOLATE} (built {time.ctime(os.path.getmtime(PERCOLATE))}); cores: {os.cpu_count()}")
    print(f"{'run':66} {'wall s':>7} {'x ref':>6} {'peak MB':>8}")
    wait_for_quiet(args.wait)
    with tempfile.TemporaryDirectory() as work:
        whole, peak, _, _ = measure([PERCOLATE, "-q", "--rule", "cluster4", "--extent", "full", "--cover", CLASS,
                                     "--table", "/dev/null", "-o", "/dev/null", map10k], args.runs)
        print(f"{'10000^2, class 8: --table, the whole map (the reference)':66} {whole:7.2f} {1:6.2f} {peak:8.0f}")
        for outputs, name in ((("map",), "--window-map (spans)"),
                              (("map", "statistics"), "--window-map --table (a band per statistic)"),
                              (("table",), "--window-table (a row per window)")):
            wall, peak, _, _ = measure(windows_run(map10k, 100, 10, outputs, work), args.runs)
            print(f"{'10000^2, windows 100 every 10 (10^6): ' + name:66} {wall:7.2f} {wall / whole:6.2f} {peak:8.0f}")

        # GRASS computes a window at every cell; Vantrix at every cell too,
        # and every 10th, the map the 10^6 windows above make.
        side, size = args.grass_side, 100
        small = crop(land, side, os.path.join(OUT, f"landcover-{side}.tif"))
        runs = max(1, args.runs if side <= 1000 else 1)
        every10, peak10, _, _ = measure(windows_run(small, size, 10, ("map", "statistics"), work), runs)
        wall, peak, _, _ = measure(windows_run(small, size, 1, ("map", "statistics"), work), runs)
        if shutil.which("grass"):
            grass_tif, grass_wall = grass_patchnum(small, side, size, work, args.grass_limit)
            if grass_tif:
                agree, total = agreement(grass_tif, os.path.join(work, "w.tif"))
                print(f"{f'{side}^2, GRASS r.li.patchnum, a window {size} at every cell (the reference)':66} "
                      f"{grass_wall:7.2f} {1:6.2f} {'':>8}")
                print(f"{'  vantrix --window-map --table, every cell':66} {wall:7.2f} "
                      f"{wall / grass_wall:6.3f} {peak:8.0f}  (patch counts agree on {agree} of {total} windows)")
                print(f"{'  vantrix --window-map --table, every 10th cell':66} {every10:7.2f} "
                      f"{every10 / grass_wall:6.3f} {peak10:8.0f}")
            else:
                print(f"{f'{side}^2, GRASS r.li.patchnum, a window {size} at every cell':66} stopped after "
                      f"{grass_wall:.0f} s")
        print(f"{f'{side}^2, vantrix every cell; every 10th':66} {wall:7.2f} {every10:6.2f} {peak:8.0f}")

        if args.largemap and os.path.exists(LARGEMAP):
            wall, peak, _, _ = measure(windows_run(LARGEMAP, 1000, 100, ("map",), work), 1)
            print(f"{'10^10 cells, windows 1000 every 100 (10^6): --window-map':66} {wall:7.1f} {'':>6} {peak:8.0f}")


if __name__ == "__main__":
    main()

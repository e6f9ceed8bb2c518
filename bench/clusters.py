#!/usr/bin/python3
"""Cluster-statistics benchmark: the table of `vantrix-percolate --table` on
 - a 10000 x 10000 random Byte GeoTIFF at the threshold share 0.592746
   (habitat 1, cluster4), and
 - a 20000 x 20000 land-cover-like Byte GeoTIFF (15 classes in patches) with
   `--cover each` (cluster4), and with one class for comparison,
against the tools a user would reach for instead:
 - the Python pipeline (tests/scipy_clusters.py: GDAL's bindings,
   scipy.ndimage.label, numpy.bincount and ndimage.sum for the moments);
 - GRASS GIS: r.in.gdal, then per class r.mapcalc, r.clump and r.stats -c,
   in a temporary database;
 - R terra: patches() and freq() per class;
and GDAL's own decode of the file (gdalinfo -checksum) as the floor.

    bench/clusters [--runs N] [--only SUBSTRING] [--wait SECONDS] [--peer-limit SECONDS] [--peers LIST]

Peers are stopped after --peer-limit seconds (default 600) and shown as
stopped. Inputs are made once into bench/out/clusters/. Prints per input and
method the median wall time of whole processes, the ratio to Vantrix's, peak
resident memory, and whether the counts of clusters agree with Vantrix's.
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

TOP = os.path.dirname(HERE)
BUILD = os.environ.get("VANTRIX_BUILD_DIR", os.path.join(TOP, "build"))
PERCOLATE = os.path.join(BUILD, "src", "cli", "vantrix-percolate")
MOSAIC = os.path.join(BUILD, "bench", "vantrix-bench-mosaic")
PEER = os.path.join(TOP, "tests", "scipy_clusters.py")
OUT = os.path.join(HERE, "out", "clusters")
THRESHOLD = 0.592746


def make_inputs():
    import numpy as np
    from osgeo import gdal, osr
    gdal.UseExceptions()
    os.makedirs(OUT, exist_ok=True)
    random_tif = os.path.join(OUT, "random-10000.tif")
    if not os.path.exists(random_tif):
        print(f"writing {random_tif}", file=sys.stderr, flush=True)
        rng = np.random.default_rng(17)
        part = random_tif + ".part"
        ds = gdal.GetDriverByName("GTiff").Create(part, 10000, 10000, 1, gdal.GDT_Byte,
                                                   ["TILED=YES", "COMPRESS=LZW"])
        srs = osr.SpatialReference()
        srs.ImportFromEPSG(32633)
        ds.SetProjection(srs.ExportToWkt())
        ds.SetGeoTransform([500000, 30, 0, 6000000, 0, -30])
        band = ds.GetRasterBand(1)
        for y in range(0, 10000, 1000):
            band.WriteArray((rng.random((1000, 10000)) < THRESHOLD).astype(np.uint8), 0, y)
        ds = None
        os.replace(part, random_tif)
    land_tif = os.path.join(OUT, "landcover-20000.tif")
    if not os.path.exists(land_tif):
        # The mosaic's 64 kinds of tile stored once, decoded as often as read;
        # translated into an ordinary tiled LZW GeoTIFF, as a land-cover
        # product would come.
        mosaic = os.path.join(OUT, "landcover-20000-mosaic.tif")
        subprocess.run([MOSAIC, "landcover", "20000", mosaic], check=True, stdout=subprocess.DEVNULL)
        part = land_tif + ".part.tif"
        subprocess.run(["gdal_translate", "-q", "-srcwin", "0", "0", "20000", "20000", "-co", "TILED=YES",
                        "-co", "COMPRESS=LZW", mosaic, part], check=True)
        os.replace(part, land_tif)
        os.remove(mosaic)
    return [("random 10000 at 0.592746", random_tif, "1"), ("land cover 20000, each class", land_tif, "each"),
            ("land cover 20000, class 8", land_tif, "8")]


def grass_command(path, cover, classes):
    """A shell command that runs the GRASS pipeline in a temporary database."""
    script = "r.in.gdal --q -o input={p} output=m && g.region raster=m".format(p=path)
    for c in classes:
        script += (f" && r.mapcalc --q --o 'h = if(m=={c},1,null())' && r.clump --q --o input=h output=cl"
                   f" && echo class {c} \\$(r.stats -cn cl | wc -l)")
    return ["bash", "-c", f"db=$(mktemp -d) && grass -c {path} $db/loc --exec bash -c \"{script}\"; "
                          f"status=$?; rm -rf $db; exit $status"]


def terra_command(path, classes):
    script = (f"library(terra); r <- rast('{path}'); "
              + "".join(f"p <- patches(classify(r, cbind({c}, 1), others = NA), directions = 4); "
                        f"cat('class', {c}, nrow(freq(p)), '\\n'); " for c in classes))
    return ["Rscript", "-e", script]


def limited(command, seconds):
    return ["timeout", "--signal=KILL", str(seconds)] + command


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--only", default="")
    parser.add_argument("--wait", type=float, default=300)
    parser.add_argument("--peer-limit", type=int, default=600)
    parser.add_argument("--peers", default="python,grass,terra",
                        help="which peers to run, of python, grass and terra")
    args = parser.parse_args()
    for program in (PERCOLATE, MOSAIC):
        if not os.access(program, os.X_OK):
            sys.exit(f"{program} is missing: build it first (scripts/dev bench)")
    inputs = make_inputs()
    print(f"vantrix-percolate: {PERCOLATE} (built {time.ctime(os.path.getmtime(PERCOLATE))}); cores: {os.cpu_count()}")
    print(f"{'input':30} {'method':34} {'median s':>9} {'x vantrix':>9} {'peak MB':>8} {'clusters':>10}")
    for name, path, cover in inputs:
        if args.only and args.only not in name:
            continue
        load = wait_for_quiet(args.wait)
        with tempfile.TemporaryDirectory() as work:
            table = os.path.join(work, "t.tsv")
            rows = []
            wall, peak, _, _ = measure([PERCOLATE, "-q", "--rule", "cluster4", "--extent", "full", "--cover", cover,
                                        "--table", table, "-o", "/dev/null", path], args.runs)
            with open(table) as f:
                lines = f.read().splitlines()[1:]
            ours = sum(int(line.split("\t")[12]) for line in lines)
            classes = [line.split("\t")[5] for line in lines]
            rows.append(("vantrix-percolate --table", wall, peak, str(ours)))
            wall, peak, _, _ = measure(["gdalinfo", "-checksum", path], args.runs)
            rows.append(("gdalinfo -checksum (GDAL's decode)", wall, peak, ""))
            peers = []
            if "python" in args.peers:
                peers.append(("python gdal+scipy", limited(["/usr/bin/python3", PEER, "--extent", "full", "--cover", cover, path],
                                              args.peer_limit), lambda out: sum(int(l.split("\t")[8]) for l in out.splitlines())))
            if "grass" in args.peers and shutil.which("grass"):
                peers.append(("GRASS r.clump + r.stats", limited(grass_command(path, cover, classes), args.peer_limit),
                              lambda out: sum(int(l.split()[2]) for l in out.splitlines() if l.startswith("class"))))
            if "terra" in args.peers and shutil.which("Rscript"):
                peers.append(("R terra patches + freq", limited(terra_command(path, classes), args.peer_limit),
                              lambda out: sum(int(l.split()[2]) for l in out.splitlines() if l.startswith("class"))))
            for label, command, count in peers:
                start = time.perf_counter()
                wall, peak, _, out = measure(command, 1)
                stopped = wall >= args.peer_limit - 1
                try:
                    found = "stopped" if stopped else str(count(out))
                except (ValueError, IndexError):
                    found = "?"
                rows.append((label + (f" (stopped at {args.peer_limit} s)" if stopped else ""), wall, peak, found))
            mine = rows[0][1]
            for label, wall, peak, found in rows:
                print(f"{name:30} {label:34} {wall:9.2f} {wall / mine:9.1f} {peak:8.0f} {found:>10}")
        print(f"{name:30} load {load:.2f} before, {os.getloadavg()[0]:.2f} after", flush=True)
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main())

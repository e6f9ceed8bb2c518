"""The module's answers are the programs' on the same landscapes: tables as
text written by the tables' rules, maps cell for cell; misuse is refused."""

import io
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
from osgeo import gdal, osr

import vantrix

gdal.UseExceptions()
BIN = os.environ.get("VANTRIX_BIN", "")
NODATA = 9
TRANSFORM = [500000.0, 30.0, 0.0, 6000000.0, 0.0, -30.0]


def program(name, *args):
    done = subprocess.run([os.path.join(BIN, name), *map(str, args)], capture_output=True, check=True)
    return done.stdout.decode()


def text(frame):
    """A data frame as the programs write a table (tsv.h's rules)."""
    kinds = [frame[c].dtype.kind for c in frame.columns]
    field = lambda v, k: ("NA" if math.isnan(v) else "%.9g" % v) if k == "f" else str(v)  # noqa: E731
    rows = ["\t".join(field(v, k) for v, k in zip(row, kinds)) for row in frame.itertuples(index=False)]
    return "\n".join(["\t".join(frame.columns), *rows]) + "\n"


def read_table(tsv):
    return pd.read_csv(io.StringIO(tsv), sep="\t", keep_default_na=False, na_values=["NA"])


def write_tif(path, values, transform=None, wkt=None, nodata=NODATA):
    out = gdal.GetDriverByName("GTiff").Create(str(path), values.shape[1], values.shape[0], 1, gdal.GDT_Int32)
    out.SetGeoTransform(transform) if transform else None
    out.SetProjection(wkt) if wkt else None
    out.GetRasterBand(1).SetNoDataValue(nodata)
    out.GetRasterBand(1).WriteArray(values.astype(np.int32))
    out = None  # closed: written
    return str(path)


@pytest.fixture(scope="module")
def classes():
    rng = np.random.default_rng(3)
    values = rng.integers(1, 5, size=(37, 53))
    values[rng.random(values.shape) < 0.1] = NODATA
    return values


@pytest.fixture
def raster(tmp_path, classes):
    return write_tif(tmp_path / "classes.tif", classes)


def laid_out(values, dtype, layout):
    """values as an array of dtype in a layout: C order, Fortran order, or
    a strided view into a larger array (rows reversed)."""
    if layout == "C":
        return np.ascontiguousarray(values, dtype=dtype)
    if layout == "F":
        return np.asfortranarray(values, dtype=dtype)
    big = np.zeros((values.shape[0] * 2, values.shape[1] * 3), dtype=dtype)
    big[::2, 1::3] = values[::-1]
    return big[-2::-2, 1::3]


TABLES = [  # name, dtype, layout, rule, cover, tile, call
    ("int8 C cluster4 one class", np.int8, "C", "cluster4", 2, None, "clusters"),
    ("uint16 F cluster8 each", np.uint16, "F", "cluster8", "each", None, "clusters"),
    ("int32 strided cluster4 range", np.int32, "view", "cluster4", range(1, 3), None, "clusters"),
    ("uint64 C cluster8 list tiles", np.uint64, "C", "cluster8", [1, 3, 4], 10, "clusters"),
    ("int64 view cluster4 each tiles", np.int64, "view", "cluster4", "each", 16, "clusters"),
    ("int16 C cluster4 each patches", np.int16, "C", "cluster4", "each", None, "patches"),
    ("uint32 F cluster8 one class patches", np.uint32, "F", "cluster8", 3, None, "patches"),
    ("uint8 view cluster8 each patches", np.uint8, "view", "cluster8", "each", None, "patches"),
]


def expected(call, raster, cover, rule, tile=None, strip=True, more=()):
    if isinstance(cover, range):  # the table says the range given, first-last
        cover = f"{cover[0]}-{cover[-1]}"
    cover = cover if isinstance(cover, str) else ",".join(map(str, np.atleast_1d(cover)))
    args = ["-q", "--cover", cover, "--rule", rule, "-o", "/dev/null", *more]
    args += ["--table", "-"] if call == "clusters" else ["--patches", "-"]
    args += ["--tile", tile] if tile else ["--extent", "full"]
    out = program("vantrix-percolate", *args, raster)
    return out.replace(raster, "") if strip else out


@pytest.mark.parametrize("dtype,layout,rule,cover,tile,call", [t[1:] for t in TABLES], ids=[t[0] for t in TABLES])
def test_arrays_give_the_programs_tables(classes, raster, dtype, layout, rule, cover, tile, call):
    grid = laid_out(classes, dtype, layout)
    assert np.array_equal(grid, classes)
    frame = getattr(vantrix, call)(grid, cover=cover, rule=rule, tile=tile, nodata=NODATA, jobs=2)
    assert text(frame) == expected(call, raster, cover, rule, tile)


@pytest.mark.parametrize("call", ["clusters", "patches"])
def test_masked_arrays_paths_and_lacunarity(classes, raster, call):
    masked = np.ma.masked_equal(classes.astype(np.int32), NODATA)
    assert text(getattr(vantrix, call)(masked, cover="each")) == expected(call, raster, "each", "cluster4")
    from_path = getattr(vantrix, call)([raster, raster], cover="each", rule="cluster8")
    both = expected(call, raster, "each", "cluster8", strip=False)
    assert text(from_path) == both + both.split("\n", 1)[1]
    assert list(from_path["landscape"].unique()) == [raster]
    if call == "clusters":
        frame = vantrix.clusters(classes, cover=[1, 2], nodata=NODATA, lacunarity=[2, 5])
        assert text(frame) == expected(call, raster, "1,2", "cluster4", more=["--lacunarity", "2,5"])


@pytest.mark.parametrize("georeferenced", [True, False], ids=["spatial_ref", "coordinates"])
def test_data_arrays_take_their_georeference(tmp_path, classes, georeferenced):
    xarray = pytest.importorskip("xarray")
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(32633)
    wkt = srs.ExportToWkt() if georeferenced else None
    raster = write_tif(tmp_path / "geo.tif", classes, transform=TRANSFORM, wkt=wkt)
    x = TRANSFORM[0] + TRANSFORM[1] * (np.arange(classes.shape[1]) + 0.5)
    y = TRANSFORM[3] + TRANSFORM[5] * (np.arange(classes.shape[0]) + 0.5)
    coords = {"y": y, "x": x}
    if georeferenced:
        coords["spatial_ref"] = ((), 0, {"crs_wkt": wkt, "GeoTransform": " ".join(map(str, TRANSFORM))})
    data = xarray.DataArray(classes.astype(np.int16), dims=("y", "x"), coords=coords, attrs={"_FillValue": NODATA})
    frame = vantrix.patches(data, cover="each", rule="cluster8")
    assert text(frame) == expected("patches", raster, "each", "cluster8")
    if georeferenced:
        assert (frame["area"] == 900.0 * frame["cells"]).all()
    ids = vantrix.label(data, cover=2)
    assert isinstance(ids, xarray.DataArray) and ids.dims == ("y", "x")
    assert np.array_equal(ids["x"], x) and ids.dtype == np.uint32


DASK = [  # name, chunks, rule, cover, georeferenced DataArray
    ("one chunk", (37, 53), "cluster4", 2, False),
    ("rows one at a time", (1, 53), "cluster8", "each", False),
    ("chunks of rows and columns", (5, 20), "cluster4", "each", True),
    ("uneven chunks", ((10, 3, 24), (53,)), "cluster8", [1, 3], True),
]


@pytest.mark.parametrize("chunks,rule,cover,geo", [d[1:] for d in DASK], ids=[d[0] for d in DASK])
def test_dask_arrays_join_their_chunks_seams(tmp_path, classes, chunks, rule, cover, geo):
    da = pytest.importorskip("dask.array")
    values = da.from_array(classes.astype(np.int32), chunks=chunks)
    if geo:
        xarray = pytest.importorskip("xarray")
        raster = write_tif(tmp_path / "geo.tif", classes, transform=TRANSFORM)
        coords = {"y": TRANSFORM[3] + TRANSFORM[5] * (np.arange(classes.shape[0]) + 0.5),
                  "x": TRANSFORM[0] + TRANSFORM[1] * (np.arange(classes.shape[1]) + 0.5)}
        landscape = xarray.DataArray(values, dims=("y", "x"), coords=coords, attrs={"_FillValue": NODATA})
        frame = vantrix.clusters(landscape, cover=cover, rule=rule)
        patches = vantrix.patches(landscape, cover=cover, rule=rule)
    else:
        raster = write_tif(tmp_path / "plain.tif", classes)
        frame = vantrix.clusters(values, cover=cover, rule=rule, nodata=NODATA)
        patches = vantrix.patches(values, cover=cover, rule=rule, nodata=NODATA)
    assert text(frame) == expected("clusters", raster, cover, rule)
    # Patches: ids as one pass numbers them, their cells' mean distances
    # from centroids that only the whole patch has.
    assert text(patches) == expected("patches", raster, cover, rule)
    # Masked chunks: the cells masked hold no value, as NODATA does.
    masked = da.ma.masked_equal(da.from_array(classes, chunks=chunks), NODATA)
    assert text(vantrix.clusters(masked, cover=cover, rule=rule)) == text(frame.assign(landscape=""))
    # What a whole array is needed for, and bands that make no whole.
    with pytest.raises(ValueError, match="whole"):
        vantrix.clusters(values, cover=cover, tile=10, nodata=NODATA)
    options = [("cover", "2"), ("extent", "full")]
    band = vantrix._vantrix.clusters_of_band(np.asarray(classes[:10], dtype=np.int32), None, NODATA, None, None,
                                             options, 0, 37)
    with pytest.raises(ValueError, match="whole landscape"):
        vantrix._vantrix.clusters_of_bands([band], options)
    with pytest.raises(ValueError, match="bytes"):
        vantrix._vantrix.clusters_of_bands([band[:-3]], options)
    with pytest.raises(ValueError, match="bytes"):
        vantrix._vantrix.patches_of_bands([band], [b""], options)
    # Patches that cross the seam without the bands' shares of distances.
    halves = [vantrix._vantrix.patches_of_band(np.asarray(classes[a:b], dtype=np.int32), None, NODATA, None, None,
                                               options, a, 37) for a, b in ((0, 18), (18, 37))]
    assert any(vantrix._vantrix.patch_parts_of_bands(halves))
    with pytest.raises(ValueError, match="share"):
        vantrix._vantrix.patches_of_bands(halves, [b"", b""], options)


def program_map(tmp_path, raster, cover, rule, values):
    out = str(tmp_path / ("map-{cover}.tif" if cover == "each" else "map.tif"))
    program("vantrix-percolate", "-q", "--cover", cover, "--rule", rule, "--extent", "full", "-o", "/dev/null",
            "--cluster-map", out, "--values", values, raster)
    def read(path):  # no value (the band's nodata) is 0 in label()
        dataset = gdal.Open(path)
        cells = dataset.ReadAsArray()
        cells[cells == dataset.GetRasterBand(1).GetNoDataValue()] = 0
        return cells
    if cover == "each":
        return {int(c): read(out.format(cover=c)) for c in range(1, 5)}
    return read(out)


@pytest.mark.parametrize("cover,rule,values,layout", [("2", "cluster4", "id", "C"), ("1", "cluster8", "size", "view"),
                                                      ("each", "cluster8", "id", "F")])
def test_label_is_the_programs_cluster_map(tmp_path, classes, raster, cover, rule, values, layout):
    grid = laid_out(classes, np.int32, layout)
    got = vantrix.label(grid, cover=cover, rule=rule, values=values, nodata=NODATA)
    want = program_map(tmp_path, raster, cover, rule, values)
    from_path = vantrix.label(raster, cover=cover, rule=rule, values=values)
    if cover != "each":
        got, want, from_path = {0: got}, {0: want}, {0: from_path}
    assert got.keys() == want.keys() == from_path.keys()
    for key in want:
        assert got[key].dtype == np.uint32 and got[key].shape == classes.shape
        assert np.array_equal(got[key], want[key]) and np.array_equal(from_path[key], want[key])


@pytest.mark.parametrize("cover,direction,tile", [(1, "either", None), (2, "top-bottom", None), ("each", "left-right", None), (1, "either", 12)])
def test_percolates_is_the_programs_report(classes, raster, cover, direction, tile):
    args = ["-q", "--cover", str(cover), "--direction", direction] + (["--tile", tile] if tile else ["--extent", "full"])
    report = program("vantrix-percolate", *args, raster).splitlines()
    want = [line.rsplit("\t", 1)[1] == "1" for line in report if "\t" in line and not line.startswith("Probability")]
    got = vantrix.percolates(classes, cover=cover, direction=direction, tile=tile, nodata=NODATA)
    assert got == (want if cover == "each" or tile else want[0])
    assert vantrix.percolates([raster], cover=cover, direction=direction, tile=tile) == want


@pytest.mark.parametrize("model,options", [("random", {}), ("fractal", {"roughness": 0.3}), ("clusters", {"seed_share": 0.2})])
def test_generate_is_the_programs_landscape(tmp_path, model, options):
    more = [x for name, value in options.items() for x in ("--" + name.replace("_", "-"), value)]
    program("vantrix-generate", "--model", model, "--size", 45, "--share", 0.55, "--seed", 11, "--count", 3,
            "--format", "geotiff", "-o", tmp_path, *more)
    files = sorted(f for f in os.listdir(tmp_path) if f.endswith(".tif"))
    assert len(files) == 3
    for replicate, name in enumerate(files):
        want = gdal.Open(str(tmp_path / name)).ReadAsArray()
        got = vantrix.generate(model, 45, 0.55, seed=11, replicate=replicate, **options)
        assert got.dtype == np.uint8 and np.array_equal(got, want)


def test_sweep_is_the_programs_table(tmp_path):
    args = ["--model", "random", "--size", "24,32", "--share", "0.5:0.7:0.05", "--replicates", 7, "--seed", 5,
            "--rule", "cluster4,cluster8", "-q", "--observables", "--thresholds", tmp_path / "t.tsv", "-o", "-"]
    want = read_table(program("vantrix-sweep", *args))
    table, thresholds = vantrix.sweep("random", [24, 32], "0.5:0.7:0.05", 7, seed=5, rule=["cluster4", "cluster8"],
                                      observables=True, thresholds=True, jobs=2)
    # The sweep's tables have fixed decimals per column: compared as numbers.
    pd.testing.assert_frame_equal(table, want, check_exact=True)
    pd.testing.assert_frame_equal(thresholds, read_table((tmp_path / "t.tsv").read_text()), check_exact=True)
    plain = vantrix.sweep("random", 24, [0.5, 0.6], 3, seed=5)
    want = program("vantrix-sweep", "--model", "random", "--size", 24, "--share", "0.5,0.6", "--replicates", 3,
                   "--seed", 5, "-q")
    pd.testing.assert_frame_equal(plain, read_table(want), check_exact=True)


MISUSE = [  # name, landscape, keywords, exception, words of the message
    ("one dimension", np.ones(5, np.int32), {}, ValueError, "(5,)"),
    ("three dimensions", np.ones((2, 3, 4), np.int32), {}, ValueError, "(2, 3, 4)"),
    ("no cells", np.ones((0, 4), np.int32), {}, ValueError, "(0, 4)"),
    ("complex numbers", np.ones((3, 3), np.complex64), {}, ValueError, "complex64"),
    ("objects", np.ones((3, 3), object), {}, ValueError, "object"),
    ("nodata outside int8", np.ones((3, 3), np.int8), {"nodata": 300}, ValueError, "300"),
    ("a cover that is none", np.ones((3, 3), np.int8), {"cover": "1--"}, ValueError, "cover"),
    ("the walk over the full extent", np.ones((3, 3), np.int8), {"rule": "walk", "extent": "full"}, ValueError, "--extent full"),
    ("a missing file", "/nonexistent/map.tif", {}, OSError, "/nonexistent/map.tif"),
    ("nodata for a file", "/nonexistent/map.tif", {"nodata": 0}, ValueError, "nodata"),
    ("not a landscape", {"a": 1}, {}, ValueError, "dict"),
]


@pytest.mark.parametrize("landscape,keywords,error,says", [m[1:] for m in MISUSE], ids=[m[0] for m in MISUSE])
def test_misuse_is_refused(landscape, keywords, error, says):
    with pytest.raises(error) as raised:
        vantrix.clusters(landscape, **keywords)
    assert says in str(raised.value)
    if isinstance(landscape, np.ndarray):
        assert landscape.flags.writeable  # restored after the failure


def test_arrays_are_read_only_during_a_call_and_notes_warn(classes, monkeypatch):
    engine, seen = vantrix._vantrix.clusters, []
    monkeypatch.setattr(vantrix._vantrix, "clusters", lambda *a: seen.append(a[1].flags.writeable) or engine(*a))
    grid, frozen = classes.astype(np.int32), classes.astype(np.int32)
    frozen.flags.writeable = False
    with pytest.warns(vantrix.VantrixWarning, match="7"):
        vantrix.clusters(grid, cover=7, nodata=NODATA)  # a class absent from the map
    vantrix.clusters(frozen, nodata=NODATA)
    assert seen == [False, False] and grid.flags.writeable and not frozen.flags.writeable
    assert vantrix.clusters(np.ones((4, 4), bool))["largest"][0] == 16  # True is class 1
    with pytest.raises(ValueError):
        vantrix.generate("random", 10, 0.5, seed=1, replicate=-1)


def test_arrays_are_not_copied():
    """Peak memory of a call on a 4000 x 4000 int32 array rises by less than a
    tenth of the array (a copy would double it)."""
    script = textwrap.dedent("""
        import numpy as np, vantrix
        def peak():  # VmHWM: unlike getrusage's maxrss, not inherited from the parent
            return int(next(l for l in open("/proc/self/status") if l.startswith("VmHWM")).split()[1])
        grid = np.empty((4000, 4000), np.int32)  # filled in bands: no temporary as large as it
        rng = np.random.default_rng(1)
        for r in range(0, 4000, 250):
            grid[r:r + 250] = rng.random((250, 4000)) < 0.5927
        vantrix.clusters(grid[:8, :8]); vantrix.label(grid[:8, :8])
        before = peak()
        vantrix.clusters(grid, jobs=2)
        after = peak()
        print(before, after, grid.nbytes // 1024)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, check=True, text=True)
    before, after, array = map(int, done.stdout.split())
    assert after - before < array / 10, (before, after, array)

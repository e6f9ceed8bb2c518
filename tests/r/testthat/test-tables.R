# vt_clusters() and vt_patches() give the programs' tables, field for field.

landcover <- file.path(examples_dir(), "landcover.tif")
georeferenced <- function() {
    r <- rast(landcover)
    r[r == 6] <- NA # an in-memory change: the values, not the file, are read
    r
}

# Each case: what vt_*() reads, the file the program reads, the options.
cases <- list(
    "integer matrix, each class, full extent" =
        list(x = classes_int, file = write_grid(classes_int), opts = list(cover = "each", extent = "full")),
    "double matrix with NA and fractions, cluster8, two classes" =
        list(x = classes_dbl, file = write_grid(classes_dbl), opts = list(cover = c(1, 3), rule = "cluster8")),
    "integer matrix with NA, tiles, cluster8" =
        list(x = classes_na, file = write_grid(classes_na), opts = list(cover = 2, tile = 8, rule = "cluster8")),
    "integer matrix with NA and a nodata value, square extent, top-bottom" =
        list(x = classes_na, nodata = 4, file = write_grid(replace(classes_na, classes_na %in% 4, NA)),
             opts = list(cover = 1:3, direction = "top-bottom", extent = "square")),
    "a path, each class over tiles, small patches left out" =
        list(x = landcover, file = landcover, opts = list(cover = "each", tile = 64, jobs = 2, min_cells = 3)),
    "a SpatRaster in map units" =
        list(x = georeferenced(), file = writeRaster(georeferenced(), tempfile(fileext = ".tif")),
             opts = list(cover = "each", extent = "full", rule = "cluster8"))
)

for (name in names(cases)) {
    case <- cases[[name]]
    file <- if (is.character(case$file)) case$file else sources(case$file)[1]
    for (what in c("table", "patches")) {
        test_that(paste(what, "of", name), {
            opts <- if (what == "table") case$opts[names(case$opts) != "min_cells"] else case$opts
            args <- c("-q", "-o", "/dev/null", paste0("--", what), "-", program_args(opts), "--", file)
            expected <- fields_of_text(run_program("vantrix-percolate", args))
            f <- if (what == "table") vt_clusters else vt_patches
            got <- quietly(do.call(f, c(list(case$x, nodata = case$nodata), opts)))
            got <- fields_of_frame(got)
            if (!is.character(case$x)) {
                expect_true(all(got$landscape == ""))
                expected$landscape <- ""
            }
            if (is.matrix(case$x) && what == "patches") {
                # A matrix has no coordinates; the file's grid has some.
                expect_true(all(got$centroid_x == "NA" & got$centroid_y == "NA"))
                got$centroid_x <- got$centroid_y <- expected$centroid_x <- expected$centroid_y <- NULL
            }
            expect_gt(nrow(expected), 0)
            expect_identical(got, expected)
        })
    }
}

test_that("vt_percolates answers as the table's spans", {
    for (opts in list(list(cover = "each", extent = "full"), list(cover = 1, tile = 8), list(cover = 1:4)))
        expect_identical(quietly(do.call(vt_percolates, c(list(classes_int), opts))),
                         quietly(do.call(vt_clusters, c(list(classes_int), opts)))$spans == 1)
    expect_true(vt_percolates(matrix(1L, 5, 5)))
    expect_false(quietly(vt_percolates(matrix(0L, 5, 5))))
})

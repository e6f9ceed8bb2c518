# vt_label() gives the cells of --cluster-map, vt_generate() those of
# vantrix-generate.

test_that("patch maps are the program's cluster maps", {
    landcover <- file.path(examples_dir(), "landcover.tif")
    holed <- rast(landcover)
    holed[holed == 2] <- NA
    cases <- list(
        "integer matrix with NA, ids" = list(x = classes_na, file = write_grid(classes_na),
                                             args = list(cover = 3, values = "id", extent = "full")),
        "double matrix, sizes, cluster8" = list(x = classes_dbl, file = write_grid(classes_dbl),
                                                args = list(cover = 1, values = "size", rule = "cluster8", extent = "square")),
        "a path, sizes" = list(x = landcover, file = landcover, args = list(cover = 4, values = "size", extent = "full")),
        "a SpatRaster with NA, ids per class" =
            list(x = holed, file = sources(writeRaster(holed, tempfile(fileext = ".tif")))[1],
                 args = list(cover = "each", values = "id", extent = "full")))
    for (name in names(cases)) {
        case <- cases[[name]]
        written <- tempfile(fileext = ".tif")
        run_program("vantrix-percolate", c("-q", "-o", "/dev/null", "--cluster-map", written,
                                           program_args(case$args), "--", case$file))
        got <- do.call(vt_label, c(list(case$x), case$args))
        files <- written
        if (identical(case$args$cover, "each")) {
            classes <- sort(unique(as.vector(as.matrix(holed))))
            expect_identical(names(got), paste0("cover_", classes), label = name)
            files <- vapply(classes, function(k) sub("\\.tif$", paste0("-", k, ".tif"), written), "")
        }
        expected <- lapply(files, function(f) unname(as.matrix(rast(f), wide = TRUE)))
        if (is.matrix(case$x)) {
            expect_true(is.integer(got), label = name)
            got <- list(got)
        } else {
            expect_equal(as.vector(ext(got)), as.vector(ext(rast(files[1]))), label = name)
            expect_identical(crs(got), crs(rast(files[1])), label = name)
            got <- lapply(seq_along(files), function(i) as.matrix(got[[i]], wide = TRUE))
        }
        expect_equal(lapply(got, unname), expected, label = name)
    }
    expect_identical(dim(quietly(vt_label(classes_int, cover = 2, extent = "square"))), c(23L, 23L))
})

test_that("neutral landscapes are vantrix-generate's replicates", {
    cases <- list(random = list(model = "random", size = 20, share = 0.45, seed = 11),
                  fractal = list(model = "fractal", size = 33, share = 0.6, seed = 5, roughness = 0.3),
                  clusters = list(model = "clusters", size = 24, share = 0.5, seed = 2, seed_share = 0.2))
    for (name in names(cases)) {
        p <- cases[[name]]
        dir <- tempfile()
        run_program("vantrix-generate", c(program_args(p), "--count", 3, "--format", "geotiff", "-o", dir))
        files <- sort(list.files(dir, full.names = TRUE))
        for (replicate in c(1, 3)) {
            expected <- as.matrix(suppressWarnings(rast(files[replicate])), wide = TRUE) # no extent
            storage.mode(expected) <- "integer"
            got <- do.call(vt_generate, c(p, list(replicate = replicate)))
            expect_identical(unname(got), unname(expected), label = paste(name, replicate))
        }
    }
})

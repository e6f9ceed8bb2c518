# Misuse is a condition of the right class with the program's message, never
# a crash; the programs' notes are warnings.

test_that("misuse gives the right condition", {
    m <- classes_int
    cases <- list(
        "a vector" = list(quote(vt_clusters(1:10)), "usage"),
        "a 3-D array" = list(quote(vt_patches(array(1L, c(2, 2, 2)))), "usage"),
        "a character matrix" = list(quote(vt_clusters(matrix("1", 2, 2))), "usage"),
        "an empty matrix" = list(quote(vt_percolates(matrix(integer(), 0, 3))), "usage"),
        "nodata out of range" = list(quote(vt_clusters(m, nodata = 3e9)), "usage"),
        "nodata for a path" = list(quote(vt_clusters("map.tif", nodata = 0)), "usage"),
        "an unreadable path" = list(quote(vt_clusters("/nonexistent/map.tif")), "file"),
        "an unreadable path to label" = list(quote(vt_label("/nonexistent/map.tif")), "file"),
        "a bad rule" = list(quote(vt_patches(m, rule = "cluster5")), "usage"),
        "a bad cover" = list(quote(vt_clusters(m, cover = "1--")), "usage"),
        "the walk has no patches" = list(quote(vt_label(m, rule = "walk")), "usage"),
        "a layer the SpatRaster lacks" = list(quote(vt_clusters(rast(m), layer = 2)), "usage"),
        "an unknown option" = list(quote(vt_clusters(m, colour = "red")), "usage"),
        "replicate 0" = list(quote(vt_generate("random", 8, 0.5, seed = 1, replicate = 0)), "usage"),
        "a share above 1" = list(quote(vt_generate("random", 8, 1.5, seed = 1)), "usage"),
        "a bad model" = list(quote(vt_sweep("perlin", 8, 0.5, 2, seed = 1)), "usage"))
    for (name in names(cases)) {
        kind <- cases[[name]][[2]]
        e <- tryCatch(eval(cases[[name]][[1]]), condition = identity)
        expect_true(inherits(e, paste0("vantrix_", kind, "_error")) && inherits(e, "error"),
                    label = paste(name, "gives a", kind, "error, not", class(e)[1]))
        expect_true(nzchar(conditionMessage(e)), label = name)
    }
    e <- tryCatch(vt_clusters("/nonexistent/map.tif"), error = identity)
    expect_match(conditionMessage(e), "/nonexistent/map.tif", fixed = TRUE)
})

test_that("notes are warnings of class vantrix_note", {
    expect_warning(vt_clusters(classes_int, extent = "square"), class = "vantrix_note") # columns left out
    expect_warning(vt_clusters(classes_int, cover = 9, extent = "full"), class = "vantrix_note")
    expect_silent(vt_clusters(classes_int, extent = "full"))
})

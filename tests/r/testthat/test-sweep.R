# vt_sweep() gives vantrix-sweep's table and thresholds, field for field.

test_that("sweeps are vantrix-sweep's tables", {
    cases <- list(
        "random, two sizes and rules, observables" =
            list(model = "random", size = c(16, 24), shares = seq(0.5, 0.7, by = 0.05), replicates = 12, seed = 5,
                 rule = c("cluster4", "cluster8"), observables = TRUE),
        "fractal, a range of shares, left-right" =
            list(model = "fractal", size = 17, shares = "0.4:0.6:0.1", replicates = 8, seed = 9,
                 direction = "left-right", roughness = 0.7))
    for (name in names(cases)) {
        p <- cases[[name]]
        table <- tempfile(fileext = ".tsv")
        thresholds <- tempfile(fileext = ".tsv")
        run_program("vantrix-sweep", c("-q", "-o", table, "--thresholds", thresholds,
                                       program_args(setNames(p, sub("shares", "share", names(p))))))
        got <- do.call(vt_sweep, c(p, list(thresholds = TRUE)))
        expect_named(got, c("table", "thresholds"))
        expect_identical(fields_of_frame(got$table, fixed = c("pp", "pp_low", "pp_high")), fields_of_text(readLines(table)), label = name)
        expect_identical(fields_of_frame(got$thresholds), fields_of_text(readLines(thresholds)), label = name)
        expect_identical(do.call(vt_sweep, p), got$table, label = name)
    }
})

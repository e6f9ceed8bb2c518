# What the tests compare with: the programs themselves (VANTRIX_BIN), their
# tables read as text and the package's data frames written by the same rules.
library(vantrix)
suppressPackageStartupMessages(library(terra))

run_program <- function(name, args) {
    program <- file.path(Sys.getenv("VANTRIX_BIN"), name)
    out <- suppressWarnings(system2(program, shQuote(args), stdout = TRUE, stderr = FALSE))
    if (!is.null(attr(out, "status")))
        stop(name, " failed: ", paste(args, collapse = " "))
    out
}

# Options as the programs take them: --min-cells 3, --cover 1,3, --observables.
program_args <- function(opts) {
    unlist(lapply(names(opts), function(n) {
        c(paste0("--", gsub("_", "-", n)), if (!isTRUE(opts[[n]])) paste(opts[[n]], collapse = ","))
    }))
}

fields_of_text <- function(lines) {
    read.delim(text = paste(lines, collapse = "\n"), colClasses = "character", quote = "",
               na.strings = character(), check.names = FALSE)
}

# A data frame's values as the tables write them (the sweep table's
# probabilities with six decimals).
field_text <- function(v, fixed = FALSE) {
    if (fixed)
        return(ifelse(is.na(v), "nan", sprintf("%.6f", v)))
    if (is.double(v))
        return(ifelse(is.na(v), "NA", ifelse(is.infinite(v), ifelse(v > 0, "inf", "-inf"), sprintf("%.9g", v))))
    ifelse(is.na(v), "NA", as.character(v))
}
fields_of_frame <- function(df, fixed = character()) {
    out <- as.data.frame(lapply(names(df), function(n) field_text(df[[n]], n %in% fixed)),
                         stringsAsFactors = FALSE, col.names = names(df), check.names = FALSE)
    attr(out, "row.names") <- seq_len(nrow(df))
    out
}

# A matrix as a GeoTIFF the programs read (no coordinate system).
write_grid <- function(m, path = tempfile(fileext = ".tif")) {
    writeRaster(rast(m), path, datatype = if (is.integer(m)) "INT4S" else "FLT8S", overwrite = TRUE)
    path
}

quietly <- function(expr) suppressWarnings(expr, classes = "vantrix_note")

examples_dir <- function() Sys.getenv("VANTRIX_EXAMPLES", file.path("..", "..", "..", "examples"))

set.seed(20261209)
classes_int <- matrix(sample(1:6, 23 * 31, replace = TRUE), 23, 31)
classes_dbl <- matrix(as.double(sample(1:4, 29 * 29, replace = TRUE)), 29, 29)
classes_dbl[sample(length(classes_dbl), 40)] <- NA
classes_dbl[sample(length(classes_dbl), 20)] <- 2.5 # holds no value
classes_na <- classes_int
classes_na[sample(length(classes_na), 60)] <- NA

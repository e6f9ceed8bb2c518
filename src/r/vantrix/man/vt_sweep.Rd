\name{vt_sweep}
\alias{vt_sweep}
\title{PP curves of neutral landscapes}
\description{
The table of \code{vantrix-sweep}: for each size, share and rule, the
spanning replicates, the spanning probability \code{pp} and its 95 \%
Wilson interval (and the cluster observables with \code{observables}).
}
\usage{
vt_sweep(model, size, shares, replicates, seed, rule = "cluster4",
         direction = "either", observables = FALSE, thresholds = FALSE, ...)
}
\arguments{
\item{model}{\code{"random"}, \code{"fractal"} or \code{"clusters"}.}
\item{size}{one side or several (\code{c(32, 64)}).}
\item{shares}{shares (\code{seq(0.5, 0.7, by = 0.01)}), or the program's
  \code{"FROM:TO:STEP"}.}
\item{replicates}{replicates per share.}
\item{seed}{the seed.}
\item{rule}{one rule or several (\code{c("cluster4", "walk")}).}
\item{direction}{\code{"either"}, \code{"left-right"} or \code{"top-bottom"}.}
\item{observables}{also the cluster observables of percolation theory.}
\item{thresholds}{also each replicate's critical share.}
\item{...}{further options of \code{vantrix-sweep} by name (\code{roughness},
  \code{seed_share}, \code{jobs}).}
}
\value{A data.frame; with \code{thresholds = TRUE} a list of two,
  \code{table} and \code{thresholds}.}
\examples{
pp <- vt_sweep("random", 32, seq(0.5, 0.7, by = 0.05), replicates = 20, seed = 42)
pp[, c("share", "pp", "pp_low", "pp_high")]
}

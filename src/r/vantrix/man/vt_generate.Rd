\name{vt_generate}
\alias{vt_generate}
\title{Neutral landscapes}
\description{
One replicate of \code{vantrix-generate}: the same cells as the file it
writes for that replicate, 1 for habitat and 0 else.
}
\usage{
vt_generate(model, size, share, seed, replicate = 1, roughness = NULL,
            seed_share = NULL)
}
\arguments{
\item{model}{\code{"random"}, \code{"fractal"} or \code{"clusters"}.}
\item{size}{the side L of the L x L landscape.}
\item{share}{the habitat share p.}
\item{seed}{the seed.}
\item{replicate}{the replicate number, from 1 (file number \code{replicate}
  of \code{vantrix-generate}, replicate \code{replicate} of a sweep).}
\item{roughness}{\code{fractal}: the Hurst exponent.}
\item{seed_share}{\code{clusters}: the share of cells seeded.}
}
\value{An integer matrix of \code{size} x \code{size}.}
\examples{
m <- vt_generate("fractal", 65, 0.5, seed = 7, roughness = 0.5)
mean(m)
}

# The R package's figures, from one R session: exact average linkage of
# 20,000 x 100 against fastcluster's hclust(dist(x)), and an approximate run
# on 10^6 x 50 within its time budget.  Runs alternate, best of `repeats`.
#
#     bash scripts/r-install.sh /tmp/rlib
#     R_LIBS=/tmp/rlib Rscript bench/r_package.R [exact|approximate|both] [repeats]
args <- commandArgs(trailingOnly = TRUE)
what <- if (length(args) >= 1) args[1] else "both"
repeats <- if (length(args) >= 2) as.integer(args[2]) else 2
library(brivane)

wall <- function(expr) {
    gc()
    t0 <- proc.time()[["elapsed"]]
    force(expr)
    proc.time()[["elapsed"]] - t0
}

if (what %in% c("exact", "both")) {
    set.seed(1)
    x <- matrix(rnorm(20000 * 100), 20000)
    times <- list(brivane = numeric(), fastcluster = numeric())
    for (k in seq_len(repeats)) {
        times$brivane <- c(times$brivane, wall(a <- brivane(x, exact = TRUE, memory = 4)))
        times$fastcluster <- c(times$fastcluster, wall(b <- fastcluster::hclust(dist(x), "average")))
        rm(b); gc()
    }
    a <- brivane(x, exact = TRUE, memory = 4)
    b <- fastcluster::hclust(dist(x), "average")
    cat(sprintf("exact average 20000 x 100: brivane %s s, fastcluster::hclust(dist(x)) %s s; same merge: %s, heights %.1e\n",
                paste(sprintf("%.1f", times$brivane), collapse = "/"),
                paste(sprintf("%.1f", times$fastcluster), collapse = "/"),
                identical(a$merge, b$merge), max(abs(a$height - b$height) / b$height)))
    cat(sprintf("best: brivane %.1f s, fastcluster %.1f s, ratio %.2f\n", min(times$brivane),
                min(times$fastcluster), min(times$fastcluster) / min(times$brivane)))
    rm(x, a, b); gc()
}

if (what %in% c("approximate", "both")) {
    set.seed(2)
    x <- matrix(rnorm(1e6 * 50), 1e6)
    for (k in seq_len(repeats)) {
        s <- wall(tree <- brivane(x, time = 60, memory = 8))
        cat(sprintf("approximate average 10^6 x 50, time = 60, memory = 8: %.1f s wall\n", s))
    }
}

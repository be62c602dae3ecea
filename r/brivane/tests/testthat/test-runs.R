# Approximate runs, missing values, unconnected clusters, the console and
# interrupts.

test_that("a seed, or R's seed, repeats a run with a count", {
    set.seed(5)
    x <- matrix(rnorm(3000), 600)
    first <- brivane(x, num_distances = 20000, seed = 7, threads = 2)
    again <- brivane(x, num_distances = 20000, seed = 7, threads = 1)
    expect_identical(first$merge, again$merge)
    expect_identical(first$height, again$height)
    set.seed(1)
    first <- brivane(x, num_distances = 20000)
    set.seed(1)
    expect_identical(brivane(x, num_distances = 20000)$merge, first$merge)
})

test_that("missing values propagate with the program's warning, or are skipped pair by pair as dist does", {
    set.seed(6)
    x <- matrix(rnorm(200), 40)
    x[3, 2] <- NA
    warned <- character()
    tree <- withCallingHandlers(brivane(x, exact = TRUE), brivane_warning = function(w) {
        warned <<- c(warned, conditionMessage(w))
        invokeRestart("muffleWarning")
    })
    expect_length(warned, 2)
    expect_match(warned[1], "The data hold 1 missing values", fixed = TRUE)
    expect_match(warned[2], "1 merge at NaN height", fixed = TRUE)
    # Object 3 joins the tree of the others last.
    expect_true(is.na(tree$height[39]))
    expect_true(all(is.finite(tree$height[-39])))
    expect_identical(tree$merge[39, ], c(-3L, 38L))
    tree <- expect_silent(brivane(x, exact = TRUE, missing = "pairwise"))
    reference <- hclust(dist(x), "average")
    expect_identical(tree$merge, reference$merge)
    expect_equal(tree$height, reference$height, tolerance = 1e-9)
    storage.mode(x) <- "integer"
    expect_identical(suppressWarnings(brivane(x, exact = TRUE))$merge[39, ], c(-3L, 38L))
})

test_that("clusters that no known distance connects join at Inf; finite_heights draws them", {
    set.seed(7)
    x <- rbind(matrix(rnorm(20), 10), matrix(rnorm(20) + 100, 10))
    d <- dist(x)
    m <- as.matrix(d)
    m[1:10, 11:20] <- m[11:20, 1:10] <- Inf
    tree <- brivane(as.dist(m), "average")
    expect_identical(tree$height[19], Inf)
    expect_true(all(is.finite(tree$height[-19])))
    expect_identical(unname(cutree(tree, k = 2)), rep(1:2, each = 10))
    drawn <- finite_heights(tree)
    expect_identical(drawn$height[19], 2 * max(tree$height[-19]))
    expect_identical(drawn$height[-19], tree$height[-19])
    expect_identical(drawn$merge, tree$merge)
})

test_that("finite_heights draws a NaN merge at its higher child's height", {
    tree <- structure(list(merge = rbind(c(-1L, -2L), c(-3L, 1L), c(-4L, 2L)), height = c(1, NaN, Inf),
                           order = c(4L, 3L, 1L, 2L)), class = "hclust")
    expect_identical(finite_heights(tree)$height, c(1, 1, 2))
    expect_error(finite_heights(list()), "hclust")
})

test_that("errors carry the program's message and status", {
    x <- matrix(rnorm(100), 20)
    cases <- list(
        list(call = quote(brivane(x, metric = "bogus")), message = "'bogus' does not match to any distance measure!"),
        list(call = quote(brivane(x, memory = -1)), message = "memory"),
        list(call = quote(brivane(x, memory = 1e-6, exact = TRUE)), message = "This run needs -m"),
        list(call = quote(brivane(x, "ward.D2", metric = "manhattan", exact = TRUE)), message = "euclidean"),
        list(call = quote(brivane(x, exact = TRUE, engine = "bogus")), message = "--engine"))
    for (case in cases) {
        e <- tryCatch(eval(case$call), error = function(e) e)
        expect_s3_class(e, "brivane_error")
        expect_match(conditionMessage(e), case$message, fixed = TRUE)
        expect_false(startsWith(conditionMessage(e), "ERROR!"))
        expect_gte(e$status, 1)
    }
})

test_that("arguments that R refuses before the run", {
    x <- matrix(rnorm(100), 20)
    cases <- list(
        list(call = quote(brivane(x, "ward.D")), message = "ward.D2"),
        list(call = quote(brivane(x, "ward")), message = "ward.D2"),
        list(call = quote(brivane(x, "nearest")), message = "invalid clustering method"),
        list(call = quote(brivane(x, metric = "canberra")), message = "no counterpart"),
        list(call = quote(brivane(x, metric = "binary")), message = "no counterpart"),
        list(call = quote(brivane(x[1, , drop = FALSE])), message = "n >= 2"),
        list(call = quote(brivane(list(1, 2))), message = "numeric matrix"),
        list(call = quote(brivane(matrix(letters, 2))), message = "numeric matrix"),
        list(call = quote(brivane(c("a", NA))), message = "NA strings"),
        list(call = quote(brivane(x, num_distances = 10.5)), message = "whole number"),
        list(call = quote(brivane(x, memory = "2")), message = "'memory' must be one number"),
        list(call = quote(brivane(x, exact = NA)), message = "'exact'"),
        list(call = quote(brivane(x, pivots = 3)), message = "unknown argument"))
    for (case in cases)
        expect_error(eval(case$call), case$message, fixed = TRUE)
})

test_that("given distances warn of the options that steer computing them", {
    d <- dist(matrix(rnorm(100), 20))
    expect_warning(brivane(d, num_distances = 100, time = 1), "time, num_distances have nothing to steer",
                   class = "brivane_warning")
    expect_warning(brivane(d, missing = "pairwise"), "no effect on given distances", class = "brivane_warning")
})

test_that("a run is silent unless verbose", {
    x <- matrix(rnorm(100), 20)
    expect_silent(brivane(x, exact = TRUE))
    lines <- capture.output(invisible(brivane(x, exact = TRUE, verbose = TRUE)), type = "message")
    expect_true(any(grepl("^Running hierarchical clustering", lines)))
})

test_that("an interrupt stops a run", {
    skip_on_os("windows")
    set.seed(8)
    x <- matrix(rnorm(20000 * 10), 20000)
    system(sprintf("(sleep 0.5; kill -INT %d)", Sys.getpid()), wait = FALSE)
    result <- tryCatch(brivane(x, time = 20, threads = 1), interrupt = function(e) "interrupted")
    expect_identical(result, "interrupted")
})

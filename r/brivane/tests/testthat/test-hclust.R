# Exact runs against stats::hclust on data without equal distances: the same
# merge matrix and order, heights within 1e-9 relative.

data_without_ties <- function(n = 60, p = 5, seed = 1) {
    set.seed(seed)
    x <- matrix(rnorm(n * p), n)
    rownames(x) <- sprintf("obj%02d", seq_len(n))
    x
}

expect_same_tree <- function(tree, reference, squared = FALSE) {
    expect_identical(tree$merge, reference$merge)
    expect_identical(tree$order, reference$order)
    height <- if (squared) tree$height^2 else tree$height
    expect_equal(height, reference$height, tolerance = 1e-9)
}

test_that("exact runs give hclust's tree for every method hclust shares", {
    x <- data_without_ties()
    for (method in c("single", "average", "complete", "mcquitty", "ward.D2"))
        expect_same_tree(brivane(x, method, exact = TRUE, threads = 1), hclust(dist(x), method))
})

test_that("centroid and median heights are distances: hclust's on squared distances, squared", {
    x <- data_without_ties()
    for (method in c("centroid", "median"))
        expect_same_tree(brivane(x, method, exact = TRUE), hclust(dist(x)^2, method), squared = TRUE)
})

test_that("exact runs give fastcluster's tree", {
    skip_if_not_installed("fastcluster")
    x <- data_without_ties(seed = 2)
    for (method in c("single", "average", "complete"))
        expect_same_tree(brivane(x, method, exact = TRUE), fastcluster::hclust(dist(x), method))
})

test_that("R's measures map onto brivane's", {
    x <- data_without_ties(n = 40, seed = 3)
    cases <- list(
        list(metric = "manhattan", d = dist(x, "manhattan")),
        list(metric = "maximum", d = dist(x, "maximum")),
        list(metric = "max", d = dist(x, "maximum")),
        list(metric = "minkowski", p = 3, d = dist(x, "minkowski", p = 3)),
        list(metric = "correlation", d = as.dist(1 - cor(t(x)))),
        list(metric = "pearson", d = as.dist(1 - cor(t(x)))))
    for (case in cases) {
        tree <- brivane(x, metric = case$metric, p = if (is.null(case$p)) 2 else case$p, exact = TRUE)
        expect_same_tree(tree, hclust(case$d, "average"))
    }
    expect_identical(brivane(x, metric = "max", exact = TRUE)$dist.method, "maximum")
    expect_identical(brivane(x, metric = "spearman", exact = TRUE)$dist.method, "spearman")
})

test_that("the object holds what hclust's holds", {
    x <- data_without_ties()
    tree <- brivane(x, "complete", exact = TRUE)
    expect_s3_class(tree, "hclust")
    expect_identical(names(tree), names(hclust(dist(x))))
    expect_identical(tree$labels, rownames(x))
    expect_identical(tree$method, "complete")
    expect_identical(tree$dist.method, "euclidean")
    expect_identical(tree$call[[1]], as.name("brivane"))
    expect_identical(brivane(x, "comp", exact = TRUE)$method, "complete")
})

test_that("cutree and as.dendrogram take the tree", {
    x <- data_without_ties()
    tree <- brivane(x, exact = TRUE)
    reference <- hclust(dist(x), "average")
    expect_identical(cutree(tree, k = 4), cutree(reference, k = 4))
    expect_identical(cutree(tree, h = 1.5), cutree(reference, h = 1.5))
    dendrogram <- as.dendrogram(tree)
    expect_identical(order.dendrogram(dendrogram), tree$order)
    expect_equal(attr(dendrogram, "height"), max(tree$height))
    expect_identical(labels(dendrogram), rownames(x)[tree$order])
})

test_that("a dist object is clustered as given, with its labels and method", {
    x <- data_without_ties()
    d <- dist(x, "manhattan")
    tree <- brivane(d, "average")
    expect_same_tree(tree, hclust(d, "average"))
    expect_identical(tree$labels, rownames(x))
    expect_identical(tree$dist.method, "manhattan")
})

test_that("columns are objects with objects = \"columns\"", {
    x <- data_without_ties(n = 30)
    colnames(x) <- letters[1:5]
    tree <- brivane(t(x), objects = "columns", exact = TRUE)
    expect_same_tree(tree, hclust(dist(x), "average"))
    expect_identical(tree$labels, rownames(x))
})

test_that("integer, logical and data frame inputs give the tree of their doubles", {
    set.seed(4)
    x <- matrix(sample.int(10^6, 200), 40)
    reference <- brivane(x * 1.0, exact = TRUE)
    expect_identical(brivane(x, exact = TRUE)$merge, reference$merge)
    expect_identical(brivane(as.data.frame(x), exact = TRUE)$merge, reference$merge)
    b <- matrix(c(TRUE, FALSE), 6, 3)
    expect_identical(brivane(b, "single", exact = TRUE)$height, brivane(b * 1, "single", exact = TRUE)$height)
})

test_that("strings are clustered by an edit distance", {
    s <- c("kitten", "sitting", "mitten", "fitting", "apple", "apply", "ample")
    tree <- brivane(s, "single", metric = "levenshtein", exact = TRUE)
    # Single linkage heights are the minimum spanning tree's edges, whatever
    # the order of equal ones.
    expect_identical(tree$height, sort(hclust(as.dist(adist(s)), "single")$height))
    expect_identical(unname(cutree(tree, k = 2)), c(1L, 1L, 1L, 1L, 2L, 2L, 2L))
})

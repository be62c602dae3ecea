# brivane(): R's names and objects on one side, the library's options on the
# other.  The mapping lives here; the run and the conversion of its tree into
# hclust's merge, height and order are src/brivane_r.cpp.

# hclust's methods and the library's linkages.  R's "ward.D2" is Ward's method
# on the distances (SciPy's "ward"); hclust's "ward.D" runs the same update on
# unsquared distances, which the library has no form of.
.linkages <- c(average = "ave", single = "min", complete = "max", mcquitty = "weighted",
               ward.D2 = "ward", centroid = "centroid", median = "median")

# R's names of measures (dist's, and "correlation" as heatmap packages use
# it: one minus Pearson's r) and the library's; NA where brivane has none.
.measures <- c(euclidean = "euclidean", manhattan = "manhattan", maximum = "maxdiff",
               minkowski = "minkowski", correlation = "pearson", canberra = NA, binary = NA)

# The options that `...` may set, as the library names them.
.tuning <- c("prop_similar", "num_pivots", "sample_size", "pivot_strategy", "pivot_quantile",
             "split_threshold", "engine")

.number <- function(value, name, whole = FALSE) {
    if (!(is.numeric(value) || is.logical(value)) || length(value) != 1 || is.na(value))
        stop(sprintf("'%s' must be one number", name), call. = FALSE)
    if (whole && value != round(value))
        stop(sprintf("'%s' must be a whole number", name), call. = FALSE)
    as.double(value)
}

.word <- function(value, name) {
    if (!is.character(value) || length(value) != 1 || is.na(value))
        stop(sprintf("'%s' must be one character string", name), call. = FALSE)
    value
}

# The objects of `x` for the run: what the C++ side takes, the labels, and
# the library's name of the axis that holds them.
.objects <- function(x, objects) {
    if (inherits(x, "dist")) {
        if (!is.double(x))
            storage.mode(x) <- "double"
        return(list(x = x, kind = "dist", n = attr(x, "Size"), labels = attr(x, "Labels")))
    }
    if (is.character(x) && is.null(dim(x))) {
        if (anyNA(x))
            stop("'x' holds NA strings", call. = FALSE)
        return(list(x = enc2utf8(x), kind = "strings", n = length(x), labels = names(x)))
    }
    if (is.data.frame(x))
        x <- as.matrix(x)
    if (!is.matrix(x))
        x <- as.matrix(x)
    if (!(is.numeric(x) || is.logical(x)) || is.complex(x))
        stop("'x' must be a numeric matrix, a \"dist\" object or a character vector", call. = FALSE)
    # Integers go in as they are; R's NA_integer_ is a value to the library, so
    # integers with NA become doubles with NaN.
    if (is.logical(x) || (is.integer(x) && anyNA(x)))
        storage.mode(x) <- "double"
    rows <- objects == "rows"
    list(x = x, kind = "matrix", n = if (rows) nrow(x) else ncol(x),
         labels = if (rows) rownames(x) else colnames(x),
         # The C++ side sees R's columns as the rows of the library's view.
         cluster = if (rows) "cols" else "rows")
}

.warn_of_report <- function(report, call) {
    lines <- strsplit(report, "\n", fixed = TRUE)[[1]]
    for (line in grep("WARNING! ", lines, value = TRUE, fixed = TRUE))
        warning(warningCondition(sub(".*WARNING! ", "", line), class = "brivane_warning", call = call))
}

brivane <- function(x, method = "average", metric = "euclidean", memory = 2, time = NULL,
                    num_distances = NULL, exact = FALSE, seed = NULL, threads = NULL,
                    objects = c("rows", "columns"), missing = NULL, p = 2, verbose = FALSE, ...) {
    call <- match.call()
    objects <- match.arg(objects)
    method <- .word(method, "method")
    if (method %in% c("ward", "ward.D"))
        stop("method \"", method, "\" (Ward's update on unsquared distances) is not available: \"ward.D2\" is ",
             "Ward's method on the distances, and its heights squared are those of hclust(d^2, \"ward.D\")",
             call. = FALSE)
    chosen <- pmatch(method, names(.linkages))
    if (is.na(chosen))
        stop("invalid clustering method: \"", method, "\"; one of ", paste(names(.linkages), collapse = ", "),
             call. = FALSE)
    method <- names(.linkages)[chosen]
    input <- .objects(x, objects)
    if (is.na(input$n) || input$n < 2)
        stop("must have n >= 2 objects to cluster", call. = FALSE)

    options <- list(linkage = .linkages[[method]], memory = .number(memory, "memory"))
    if (input$kind == "dist") {
        dist.method <- attr(x, "method")
    } else {
        metric <- .word(metric, "metric")
        known <- pmatch(metric, names(.measures))
        dist.method <- metric
        if (!is.na(known)) {
            dist.method <- names(.measures)[known]
            metric <- .measures[[known]]
            if (is.na(metric))
                stop("metric \"", dist.method, "\" has no counterpart among brivane's measures", call. = FALSE)
        }
        options$distance <- metric
        if (identical(metric, "minkowski"))
            options$minkowski_p <- .number(p, "p")
        if (!is.null(input$cluster))
            options$cluster <- input$cluster
        if (isTRUE(exact))
            options$all_pairwise <- TRUE
        else if (!identical(exact, FALSE))
            stop("'exact' must be TRUE or FALSE", call. = FALSE)
    }
    if (!is.null(time))
        options$time <- .number(time, "time")
    if (!is.null(num_distances))
        options$num_distances <- .number(num_distances, "num_distances", whole = TRUE)
    # Without a seed, R's random numbers give one, so that set.seed() repeats
    # a run (with num_distances or exact; see ?brivane).
    options$random_seed <- if (is.null(seed)) sample.int(.Machine$integer.max, 1L)
                           else .number(seed, "seed", whole = TRUE)
    if (!is.null(threads))
        options$threads <- .number(threads, "threads", whole = TRUE)
    if (!is.null(missing))
        options$missing <- .word(missing, "missing")
    tuning <- list(...)
    if (length(tuning) && (is.null(names(tuning)) || !all(names(tuning) %in% .tuning)))
        stop("unknown argument(s) in '...'; brivane() takes ", paste(.tuning, collapse = ", "), call. = FALSE)
    options[names(tuning)] <- tuning
    if (input$kind == "dist") {
        # As the program warns of them with -C distmat: given distances leave
        # the options that steer the computing of distances nothing to do.
        idle <- intersect(names(options), c("time", "num_distances", setdiff(.tuning, "engine")))
        if (length(idle))
            warning(warningCondition(paste0("with given distances (a \"dist\" object) ",
                                            paste(idle, collapse = ", "), " ha", if (length(idle) == 1) "s" else "ve",
                                            " nothing to steer"), class = "brivane_warning", call = call))
        options[idle] <- NULL
    }
    if (!is.logical(verbose) || length(verbose) != 1 || is.na(verbose))
        stop("'verbose' must be TRUE or FALSE", call. = FALSE)

    run <- .brivane_run(input$x, input$kind, options, verbose)
    .warn_of_report(run$report, call)
    if (!is.null(run$error)) {
        if (isTRUE(run$interrupted)) {
            # The interrupt that stopped the run, as R delivers one: handlers
            # of class "interrupt" see it, else back to the top level.
            signalCondition(structure(class = c("interrupt", "condition"), list(message = "", call = call)))
            invokeRestart("abort")
        }
        stop(errorCondition(run$error, class = "brivane_error", call = call, status = run$status))
    }
    nan <- sum(is.na(run$height))
    if (nan)
        warning(warningCondition(sprintf(paste(
            "the tree has %d merge%s at NaN height (NaN distances: missing values, which make every distance of",
            "their object NaN unless skipped with missing = \"pairwise\", or a measure undefined for a pair);",
            "finite_heights() draws such a merge at its higher child's height"), nan, if (nan == 1) "" else "s"),
            class = "brivane_warning", call = call))
    structure(list(merge = run$merge, height = run$height, order = run$order, labels = input$labels,
                   method = method, call = call, dist.method = dist.method), class = "hclust")
}

finite_heights <- function(tree) {
    if (!inherits(tree, "hclust"))
        stop("'tree' must be an \"hclust\" object", call. = FALSE)
    h <- tree$height
    finite <- h[is.finite(h)]
    top <- if (length(finite)) max(finite) else 0
    h[!is.na(h) & h == Inf] <- if (top > .Machine$double.xmax / 2) .Machine$double.xmax
                               else if (top > 0) 2 * top else 1
    # Merges come after their children, so a child's height is final.
    for (k in which(is.na(h) | h == -Inf)) {
        kids <- tree$merge[k, ]
        h[k] <- max(c(0, h[kids[kids > 0]]))
    }
    tree$height <- h
    tree
}

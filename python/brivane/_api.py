"""The clustering calls: arguments checked and turned into the library's input and options, one run, its results."""
import math
import numbers
import os
import sys
import tempfile

import numpy as np

from . import _inprocess, _netcdf, _programs, _run, _tree
from ._errors import BrivaneError

# SciPy's linkage names (and brivane's own) -> brivane's -l keyword.
METHODS = {"single": "min", "average": "ave", "complete": "max", "weighted": "weighted", "ward": "ward",
           "centroid": "centroid", "median": "median", "min": "min", "ave": "ave", "max": "max"}

# metric -> brivane's -d keyword: SciPy's names where the measure is the same,
# and every brivane measure under its own name.
METRICS = {
    "euclidean": "euclidean",
    "cityblock": "manhattan", "manhattan": "manhattan",
    "minkowski": "minkowski",
    "correlation": "pearson", "pearson": "pearson",
    "cosine": "uncentcorrel", "uncentcorrel": "uncentcorrel",
    "chebyshev": "maxdiff", "maxdiff": "maxdiff",
}
for _key in ("abspearson", "absuncentcorrel", "spearman", "absspearman", "chord", "centchord", "averdiff",
             "signsum", "hamming", "levenshtein"):
    METRICS[_key] = _key

STRING_MEASURES = ("hamming", "levenshtein")
PRECOMPUTED = "precomputed"
INT32 = np.iinfo(np.int32)

QUALITY_FIELDS = [("node", "i4"), ("left_size", "i4"), ("right_size", "i4"), ("merge_distance", "f8"),
                  ("min", "f8"), ("average", "f8"), ("max", "f8"), ("pairs", "i8")]


class Clustering:
    """The result of `cluster`.

    linkage: the SciPy linkage matrix; leaf_order: the objects from left to
    right; phases: the run's report (the lines the program prints on
    standard error: the plan, the phases and their timings) without its
    WARNING lines; warnings: those WARNING lines, which are also issued as
    BrivaneWarning; summary: the join's summary line (the line the program
    prints on standard output), or None; quality:
    with quality=True a structured array, one row per merge (node,
    left_size, right_size, merge_distance, min, average, max, pairs: the true
    minimum, average and maximum distance between the merged clusters and how
    many pairs were measured; for weighted, ward, centroid and median a last
    field of that name, the true value of the method), else None;
    quality_summary: the totals that close the quality table (joint cost,
    sum of merge distances, and the level-summed Ward cost for euclidean
    distances, ...)."""

    def __init__(self, linkage, leaf_order, phases, quality=None, quality_summary=None, warnings=(), summary=None):
        self.linkage = linkage
        self.leaf_order = leaf_order
        self.phases = phases
        self.warnings = list(warnings)
        self.summary = summary
        self.quality = quality
        self.quality_summary = quality_summary

    def __repr__(self):
        return "Clustering(%d objects%s)" % (len(self.leaf_order), ", with quality" if self.quality is not None else "")


# ---------------------------------------------------------------------------
# Argument checks: every one of them before a run starts.

def _integer(name, value, low=None, bits=32):
    """A count: an integer, or a number that is exactly one (1e6, 2.5e7), as
    the programs read counts; a bool is no count.  A count of pairs has 64
    bits, the others 32."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be a whole number, not %r" % (name, value))
    if not isinstance(value, numbers.Integral):
        if not float(value).is_integer():
            raise ValueError("%s must be a whole number, not %r" % (name, value))
        value = float(value)
    value = int(value)
    if not -2 ** (bits - 1) <= value < 2 ** (bits - 1):
        raise ValueError("%s must fit into %d bits, not %d" % (name, bits, value))
    if low is not None and value < low:
        raise ValueError("%s must be at least %d, not %d" % (name, low, value))
    return value


def _real(name, value, positive=False):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("%s must be a number, not %r" % (name, value))
    value = float(value)
    if not math.isfinite(value) or (positive and value <= 0):
        raise ValueError("%s must be a %snumber, not %r" % (name, "positive finite " if positive else "finite ", value))
    return value


def _switch(name, value):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError("%s must be True or False, not %r" % (name, value))
    return bool(value)


def _keyword(name, value, table):
    if not isinstance(value, str):
        raise TypeError("%s must be a string, not %r" % (name, value))
    key = table.get(value.lower())
    if key is None:
        raise ValueError("unknown %s %r; known: %s" % (name, value, ", ".join(sorted(table))))
    return key


def _integers_as(values, what):
    """Integer values of any width as int32 when they fit, else as float64 when
    that holds them exactly; refused otherwise."""
    if values.size == 0 or (values.min() >= INT32.min and values.max() <= INT32.max):
        return values.astype(np.int32)
    if values.min() >= -2**53 and values.max() <= 2**53:
        return values.astype(np.float64)
    raise ValueError("%s holds integers beyond 2**53, which no type of the program holds exactly" % what)


def _typed(values, what, char_ok):
    """The values in a type the program reads: float32, float64, int32 and
    (data only) int8 as they are, everything else converted without loss."""
    kind, size = values.dtype.kind, values.dtype.itemsize
    if kind == "f" and size in (4, 8):
        return values
    if kind == "f" and size == 2:
        return values.astype(np.float32)
    if kind == "i" and size == 4:
        return values
    if kind == "i" and size == 1 and char_ok:
        return values  # the program's signed 8-bit type
    if kind == "b" or (kind in "iu" and size <= 2):
        return values.astype(np.int32)
    if kind in "iu":
        return _integers_as(values, what)
    raise TypeError("%s of type %s cannot be clustered: give floats or integers" % (what, values.dtype))


def _square_from_condensed(y):
    m = len(y)
    n = int(round((1 + math.sqrt(1 + 8 * m)) / 2))
    if m == 0 or n * (n - 1) // 2 != m:
        raise ValueError("a condensed distance array has n(n-1)/2 entries for some n > 1, not %d" % m)
    square = np.zeros((n, n), dtype=y.dtype)
    rows, cols = np.triu_indices(n, 1)
    square[rows, cols] = y  # the program reads the upper triangle only
    return square


def _element_codes(X):
    """The array with each element replaced by a code from 1 on, equal
    elements by equal codes, NaN (a missing value) kept: the string measures
    compare elements for equality only, and end a row at its first zero
    element, which a row of numbers or bools must not have."""
    if X.dtype.kind not in "biuf":
        return X  # refused by _typed
    missing = np.isnan(X) if X.dtype.kind == "f" else np.zeros(X.shape, bool)
    _, codes = np.unique(X[~missing], return_inverse=True)
    if not missing.any():
        return (codes + 1).astype(np.int32).reshape(X.shape)
    coded = np.full(X.shape, np.nan)
    coded[~missing] = codes + 1
    return coded


def _text_matrix(strings):
    """One row per string, its bytes (UTF-8 for text) padded with zeros: the
    string measures end a string at its first zero."""
    encoded = []
    for s in strings:
        if isinstance(s, str):
            s = s.encode("utf-8")
        if not isinstance(s, bytes):
            raise TypeError("a 1-D array of strings holds str or bytes only, not %r" % (s,))
        if b"\0" in s:
            raise ValueError("a string holds a zero byte, which would end it: %r" % (s,))
        encoded.append(s)
    width = max(1, max(len(s) for s in encoded))
    return np.frombuffer(b"".join(s.ljust(width, b"\0") for s in encoded), dtype=np.int8).reshape(-1, width)


class _Source:
    """What a run clusters: a matrix (a data matrix, or a square distance
    matrix) that the library reads in place, or a list of given distances
    (objects, and the int32 pairs rows, cols with their float64 values)."""

    def __init__(self, matrix=None, objects=None, rows=None, cols=None, values=None):
        self.matrix = matrix
        self.objects, self.rows, self.cols, self.values = objects, rows, cols, values


def _in_place(X):
    """The array as the library reads it: C order and native byte order, a
    copy only where it has neither."""
    if not X.dtype.isnative:
        X = X.astype(X.dtype.newbyteorder("="))
    return np.ascontiguousarray(X)


def _input(X, metric, axis, p):
    """(the _Source, the library options that describe it) of a data matrix,
    given distances or a sparse distance list."""
    if isinstance(axis, (bool, np.bool_)) or not isinstance(axis, numbers.Integral):
        raise TypeError("axis must be 0 (cluster the rows) or 1 (the columns), not %r" % (axis,))
    if axis not in (0, 1):
        raise ValueError("axis must be 0 (cluster the rows) or 1 (the columns), not %r" % (axis,))
    axis = int(axis)
    if not isinstance(metric, str):
        raise TypeError("metric must be a string, not %r" % (metric,))
    precomputed = metric.lower() == PRECOMPUTED
    if p is not None and (precomputed or metric.lower() != "minkowski"):
        raise ValueError("p belongs to the minkowski metric only")

    # A sparse matrix exists only once scipy.sparse is imported; the package
    # does not import it (slow) for dense input.
    sparse = sys.modules.get("scipy.sparse")
    if sparse is not None and sparse.issparse(X):
        if not precomputed:
            raise TypeError("a sparse matrix is taken as given distances: pass metric='precomputed'")
        coo = X.tocoo()
        n = coo.shape[0]
        if coo.shape[0] != coo.shape[1] or n == 0:
            raise ValueError("a sparse distance matrix must be square and non-empty, not %s" % (coo.shape,))
        _integer("the number of objects", n)
        values = _typed(np.asarray(coo.data), "the distances", char_ok=False).astype(np.float64)
        _integer("the number of given distances", len(values))
        return _Source(objects=n, rows=coo.row.astype(np.int32), cols=coo.col.astype(np.int32), values=values), {}

    if isinstance(X, np.ma.MaskedArray):
        # Masked values are missing values: NaN to the program.
        X = np.ma.filled(X.astype(np.float32 if X.dtype == np.float32 else np.float64), np.nan)
    if isinstance(X, (list, tuple)) and X and isinstance(X[0], (str, bytes)):
        X = np.array(X, dtype=object)  # str and bytes as they are, not turned into one of them
    X = np.asarray(X)
    if precomputed:
        if X.ndim == 1:
            X = _square_from_condensed(_typed(X, "the distances", char_ok=False))
        elif X.ndim == 2 and X.shape[0] == X.shape[1] and X.shape[0] > 0:
            X = _typed(X, "the distances", char_ok=False)
            if not np.array_equal(X, X.T, equal_nan=X.dtype.kind == "f"):
                raise ValueError("a square distance matrix must be symmetric")
        else:
            raise ValueError("precomputed distances are a condensed (1-D) or square (2-D) array, not of shape %s"
                             % (X.shape,))
        _integer("the number of objects", X.shape[0])
        return _Source(matrix=_in_place(X)), {"cluster": "distmat"}

    measure = _keyword("metric", metric, METRICS)
    text = X.ndim == 1 and X.dtype.kind in "SUO" and X.size
    if text:
        if measure not in STRING_MEASURES:
            raise ValueError("strings are clustered with the metric hamming or levenshtein, not %r" % metric)
        X, axis = _text_matrix(X), 0
    if X.ndim != 2:
        if X.ndim == 1:
            raise ValueError("a 1-D array is a condensed distance matrix: pass metric='precomputed'")
        raise ValueError("X must be a 2-D array of objects and their values, not of shape %s" % (X.shape,))
    if X.shape[0] == 0 or X.shape[1] == 0:
        raise ValueError("X of shape %s has no objects or no values per object" % (X.shape,))
    _integer("the number of objects", X.shape[axis])
    _integer("the number of values", X.size)
    if measure in STRING_MEASURES and not text:
        X = _element_codes(X)
    X = _typed(X, "X", char_ok=True)
    options = {"cluster": "rows" if axis == 0 else "cols", "distance": measure}
    if measure == "minkowski":
        options["minkowski_p"] = _real("p", 2.0 if p is None else p, positive=True)
    return _Source(matrix=_in_place(X)), options


def _options(method, exact, memory, time, num_distances, similar, pivots, seed, threads, data):
    """The library options of a run (the fields of brivane::Options); those
    not given keep the program's defaults."""
    options = {"linkage": _keyword("method", method, METHODS), "memory": _real("memory", memory, positive=True)}
    exact = _switch("exact", exact)
    if exact and (time is not None or num_distances is not None or similar is not None):
        raise ValueError("exact=True computes every distance: time, num_distances and similar do not apply")
    if similar is not None and num_distances is None:
        raise ValueError("similar is the share of num_distances: give num_distances too")
    if exact and data:
        options["all_pairwise"] = True
    if time is not None:
        if num_distances is not None:
            raise ValueError("give a time budget or num_distances, not both")
        options["time"] = _real("time", time)
    if num_distances is not None:
        options["num_distances"] = _integer("num_distances", num_distances, low=0, bits=64)
    if similar is not None:
        share = _real("similar", similar)
        if not 0 <= share <= 1:
            raise ValueError("similar is a share between 0 and 1, not %r" % share)
        options["prop_similar"] = share
    if pivots is not None:
        options["num_pivots"] = _integer("pivots", pivots, low=1)
    if seed is not None:
        options["random_seed"] = _integer("seed", seed)
    if threads is not None:
        options["threads"] = _integer("threads", threads, low=1)
    return options


# ---------------------------------------------------------------------------
# The same run as the program's: an input file and its words.

# Library option -> the program's option.
WORDS = [("cluster", "-C"), ("distance", "-d"), ("minkowski_p", "-p"), ("linkage", "-l"), ("memory", "-m"),
         ("all_pairwise", "-a"), ("time", "-t"), ("num_distances", "-M"), ("prop_similar", "-s"),
         ("num_pivots", "-q"), ("random_seed", "-R"), ("threads", "-j")]


def _program_input(source, options):
    """(dimensions, variables, words) of the input file of the program's run
    over `source` with `options`."""
    words = []
    for key, word in WORDS:
        value = options.get(key)
        if value is True:
            words.append(word)
        elif value is not None:
            words += [word, repr(value) if isinstance(value, float) else str(value)]
    if source.matrix is None:
        rows, cols, values = source.rows, source.cols, source.values
        if len(values) == 0:
            # A classic-format file holds an empty dimension only as its
            # record dimension; a self-pair, which the program leaves out,
            # stands for no distances instead.
            rows, cols, values = np.zeros(1, np.int32), np.zeros(1, np.int32), np.zeros(1)
        dims = [("objects", source.objects), ("pairs", len(values))]
        variables = [("from", ("pairs",), rows), ("to", ("pairs",), cols), ("distance", ("pairs",), values)]
        return dims, variables, words + ["-C", "distlist", "-D", "distance", "-N", "objects", "-F", "from",
                                         "-T", "to"]
    X = source.matrix
    if options.get("cluster") == "distmat":
        return [("objects", len(X)), ("objects2", len(X))], [("distances", ("objects", "objects2"), X)], \
            words + ["-D", "distances"]
    return [("rows", X.shape[0]), ("cols", X.shape[1])], [("data", ("rows", "cols"), X)], words + ["-D", "data"]


# ---------------------------------------------------------------------------
# The quality table.

def _number(text):
    try:
        return int(text)
    except ValueError:
        return float(text)


def read_quality(path):
    """The quality file: (one structured row per merge, the closing totals).
    Columns after the eight of every run (the true value of the run's
    linkage) are fields of the name the header gives them."""
    rows, summary, names = [], {}, []
    with open(path) as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if line.startswith("# node\t"):
                names = fields[len(QUALITY_FIELDS):]
            elif line.startswith("#"):
                key = fields[0][1:].strip()
                if len(fields) == 2 and key not in ("input", "options"):
                    summary[key] = _number(fields[1])
            elif line.strip():
                rows.append(tuple(_number(v) for v in fields))
    return np.array(rows, dtype=QUALITY_FIELDS + [(name, "f8") for name in names]), summary


# ---------------------------------------------------------------------------
# The calls.

def _warn_of_nan_heights(Z):
    nan = int(np.isnan(Z[:, 2]).sum())
    if nan:
        _run.warn("the tree has %d merge%s at NaN height (NaN distances: missing values, which make every distance "
                  "of their object NaN unless skipped, or a measure undefined for a pair); NaN ranks above every "
                  "finite height and below the joins at +inf: brivane.finite draws such a merge at its higher "
                  "child's height, and HierarchicalClustering cuts it above every finite threshold"
                  % (nan, "" if nan == 1 else "s"))


def _run_program(dims, variables, words, verbose):
    """The program's run with the quality pass (-Y), which the library does
    not make, on an input file of `dims` and `variables`: (linkage, leaf
    order, lines, quality rows, quality summary)."""
    program = _programs.program("brivane")
    with _run.ending_cleanly(), tempfile.TemporaryDirectory(prefix="brivane-") as tmp:
        path, output, table = (os.path.join(tmp, name) for name in ("input.nc", "tree.nc", "quality.tsv"))
        _netcdf.write(path, dims, variables)
        del variables  # a converted copy, if one was made, is not needed during the run
        words += ["-Y", table]
        lines = _run.run([program, "-i", path, "-o", output] + words, verbose=verbose)
        if not os.path.exists(output) or not os.path.exists(table):
            raise BrivaneError("brivane ended with status 0 but without writing its results", 0, "\n".join(lines))
        Z, order = _tree.read_output(output)
        rows, summary = read_quality(table)
    return Z, order, lines, rows, summary


def _cluster(X, method, metric, exact, memory, time, num_distances, similar, pivots, seed, threads, axis, p,
             verbose, quality, progress=False):
    verbose, quality, progress = _switch("verbose", verbose), _switch("quality", quality), _switch("progress", progress)
    source, options = _input(X, metric, axis, p)
    options.update(_options(method, exact, memory, time, num_distances, similar, pivots, seed, threads,
                            "distance" in options))
    rows = summary = line = None
    if quality:
        dims, variables, words = _program_input(source, options)
        del source
        Z, order, lines, rows, summary = _run_program(dims, variables, words, verbose)
    else:
        tree = _inprocess.run(source, options, verbose=verbose, progress=progress)
        Z, order = _tree.to_linkage(tree["left"], tree["right"], tree["start"], tree["end"], tree["new2old"],
                                    tree["distance"], "the run's tree")
        lines, line = tree["report"].splitlines(), tree["summary"] or None
    phases, found = _run.split_warnings(lines)
    for message in found:
        _run.warn(message)
    _warn_of_nan_heights(Z)
    return Clustering(Z, order, phases, rows, summary, found, line)


def linkage(X, method="average", metric="euclidean", *, exact=False, memory=2.0, time=None, num_distances=None,
            similar=None, pivots=None, seed=None, threads=None, axis=0, p=None, verbose=False, progress=False):
    """Hierarchical clustering by brivane; returns SciPy's linkage matrix.

    The (n-1) x 4 float64 matrix of `scipy.cluster.hierarchy.linkage`: row i
    merges the clusters Z[i, 0] and Z[i, 1] (objects 0..n-1, row i forms
    cluster n+i) at height Z[i, 2] into a cluster of Z[i, 3] objects; the
    larger child comes first, so that `leaves_list(Z)` is brivane's leaf
    order.  It goes to `dendrogram`, `fcluster`, `cophenet`, `leaves_list`.
    Clusters that no known distance connects are joined at +inf; draw them
    with `brivane.finite(Z)`.  NaN distances (a missing value makes every
    distance of its object NaN) merge after every finite pair and before
    the joins at +inf; a tree with NaN heights is warned of
    (BrivaneWarning), as is every WARNING line of the program.  An
    approximate run (the default) derives its merges from the distances it
    could afford, so heights need not rise.

    X: a 2-D array whose rows (axis=0) or columns (axis=1) are the objects:
    float32, float64 and int32 as they are, int8 as brivane's signed 8-bit
    type, other integers converted without loss (uint8 and int16 to int32;
    wider ones to int32 when they fit, else to float64); with
    metric="precomputed" a condensed (1-D) or square symmetric distance
    array, or a scipy.sparse matrix of given distances (each stored entry is
    the distance of its pair, the first entry of a pair counts; pairs not
    stored are unknown).  NaN or infinite given distances are unknown pairs.
    Masked values of a masked array are passed as NaN (missing values).  A
    1-D sequence of strings (str or bytes) is clustered with the metric
    hamming or levenshtein, which compare their bytes (UTF-8 for str); on a
    2-D array they compare the elements of the rows (0 and False are values
    like any other; NaN is a missing value).

    method: SciPy's names, "single", "average", "complete", "weighted",
    "ward", "centroid" or "median", with SciPy's heights.  Ward, centroid
    and median need euclidean distances: metric="euclidean" (exact=True for
    every pair, else over the pairs computed, each merge valued from the
    clusters' centroids), or metric="precomputed" distances that are
    euclidean (taken at your word, as SciPy does) and complete.  Centroid
    and median trees have inversions: a merge may lie below its children
    (approximate Ward trees too).

    metric (brivane's -d):

        metric                     brivane measure   same as SciPy's
        euclidean                  euclidean         euclidean
        cityblock, manhattan       manhattan         cityblock
        minkowski (with p)         minkowski         minkowski (p=2 default)
        correlation, pearson       pearson           correlation
        cosine, uncentcorrel       uncentcorrel      cosine
        chebyshev, maxdiff         maxdiff           chebyshev
        abspearson, absuncentcorrel, spearman, absspearman, chord,
        centchord, averdiff, signsum: brivane's own (1 - |r|, rank
        correlation, chord distances, mean |difference|, share of opposite
        signs); hamming and levenshtein compare strings or rows element by
        element (hamming counts differing positions, unlike SciPy's
        fraction).
        precomputed                X holds the distances

    exact: compute every pairwise distance (brivane -a), as SciPy does
    (given distances are always used whole).
    memory: budget in gigabytes (-m); time: budget in seconds (-t, the
    program's default 30); num_distances: how many distances to compute
    instead (-M); similar: the share of them aimed by the similarity
    heuristics (-s, with num_distances); pivots: number of pivots (-q);
    seed: random seed (-R; None or 0 or less: from the clock); threads:
    threads computing distances (-j; default all cores); p: the Minkowski
    exponent; verbose: echo the run's report (the program's lines) to
    sys.stderr as it comes; progress: a progress bar of the long phases on
    sys.stderr (tqdm's when installed, else the report's lines).
    Counts (num_distances, pivots, seed, threads) are whole numbers of any
    numeric type (1e6 is 1000000; 1.5 and True are refused).

    Reproducible runs: a run with num_distances and a seed gives the same
    tree every time, whatever the threads, and so does an exact run (or
    given distances).  A time-budget run (the default: neither
    num_distances nor exact) is not reproducible, not even with a seed: the
    number of distances it affords depends on the machine's speed and load.

    The run works in this process, on X itself where X is C-contiguous
    float32, float64, int32 or int8 (other arrays are converted first), with
    the GIL released: other Python threads go on, and so may other runs.
    Ctrl-C stops a run within about a second with KeyboardInterrupt.

    Bad arguments raise ValueError or TypeError before a run starts; a
    failed run raises BrivaneError with the program's ERROR line and exit
    status."""
    return _cluster(X, method, metric, exact, memory, time, num_distances, similar, pivots, seed, threads, axis, p,
                    verbose, False, progress).linkage


def cluster(X, method="average", metric="euclidean", *, exact=False, memory=2.0, time=None, num_distances=None,
            similar=None, pivots=None, seed=None, threads=None, axis=0, p=None, verbose=False, quality=False,
            progress=False):
    """The same run as `linkage`, returning a Clustering: the linkage, the
    leaf order, the run's report lines, its warnings and summary line and,
    with quality=True, the quality table (brivane -Y: for every merge the
    true minimum, average and maximum distance between the merged clusters;
    computes every distance once more) as a NumPy structured array.

    The quality pass is the program's alone: quality=True runs the brivane
    program in a child process on a temporary copy of X in a NetCDF file
    (removed in every case; an interrupt, SIGTERM or SIGHUP ends the child
    first), and progress draws no bar there."""
    return _cluster(X, method, metric, exact, memory, time, num_distances, similar, pivots, seed, threads, axis, p,
                    verbose, quality, progress)

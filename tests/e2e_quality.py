"""End-to-end tests of --quality (the true linkage distances of every merge,
checked against a computation of their own from the output dendrogram and the
input, and SciPy's heights for weighted, Ward, centroid and median linkage;
the level-summed Ward cost) and of --sample-size (the pairs that epsilon
estimation samples)."""
import math
import os
import re
import unittest

import numpy as np
from scipy.cluster.hierarchy import linkage
from scipy.spatial.distance import cdist

from e2e_common import BrivaneTest, read_nc, run, write_nc

SECONDS = r"[-+0-9.e]+ sec"


def read_quality(path):
    """The quality file: (header dict, rows as dicts, summary dict)."""
    header, rows, summary = {}, [], {}
    with open(path) as f:
        lines = f.read().split("\n")
    assert lines[-1] == "", "the file ends with a line end"
    columns = None
    for line in lines[:-1]:
        if line.startswith("# node\t"):
            columns = line[2:].split("\t")
        elif line.startswith("#"):
            key, _, value = line[2:].partition("\t")
            (summary if columns and rows else header)[key] = value
        else:
            rows.append(dict(zip(columns, line.split("\t"))))
    return header, rows, summary


def children(out, n, prefix):
    """Per internal node: (objects of the left child, of the right child)."""
    left, right = out[prefix + "left"], out[prefix + "right"]
    start, end, new2old = out[prefix + "start"], out[prefix + "end"], out[prefix + "new2old"]

    def objects(c):
        return [new2old[c]] if c < n else list(new2old[start[c]:end[c] + 1])
    return {node: (objects(left[node]), objects(right[node])) for node in range(n, 2 * n - 1)}


class QualityCase(BrivaneTest):
    def check_against(self, quality, out, d, known, prefix):
        """Every row of the quality file against the true distances `d`
        (n x n) where `known` holds; returns the rows."""
        n = len(d)
        header, rows, summary = read_quality(quality)
        self.assertEqual(header["objects"], str(n))
        merges = children(out, n, prefix)
        self.assertEqual([int(r["node"]) for r in rows], list(range(n, 2 * n - 1)))
        counted = np.zeros((n, n), dtype=int)
        joint = 0.0
        for r in rows:
            node = int(r["node"])
            a, b = merges[node]
            self.assertEqual((int(r["left_size"]), int(r["right_size"])), (len(a), len(b)))
            self.assertEqual(float(r["merge_distance"]), out[prefix + "distance"][node])
            block, mask = d[np.ix_(a, b)], known[np.ix_(a, b)]
            counted[np.ix_(a, b)] += 1
            self.assertEqual(int(r["pairs"]), mask.sum(), node)
            if mask.any():
                values = block[mask]
                self.assertAlmostEqual(float(r["min"]), values.min(), places=12)
                self.assertAlmostEqual(float(r["average"]), values.mean(), places=12)
                self.assertAlmostEqual(float(r["max"]), values.max(), places=12)
                joint += values.mean()
            else:
                self.assertEqual((r["min"], r["average"], r["max"]), ("nan", "nan", "nan"))
        # Every pair of objects lies across exactly one merge.
        self.assertTrue(((counted + counted.T) == 1 - np.eye(n, dtype=int)).all())
        self.assertEqual(int(summary["pairs measured"]), np.triu(known, 1).sum())
        self.assertAlmostEqual(float(summary["joint cost"]), joint, delta=1e-9 * max(1, joint))
        self.assertAlmostEqual(float(summary["sum of merge distances"]),
                               sum(float(r["merge_distance"]) for r in rows), delta=1e-9 * max(1, joint))
        return header, rows, summary


class DataMatrix(QualityCase):
    def setUp(self):
        super().setUp()
        self.points = np.random.default_rng(3).normal(size=(80, 4))
        self.src = write_nc(self.path("m.nc"), [("m", ("r", "c"), self.points, "f8")])

    def cluster(self, *extra, quality="q.txt"):
        args = ["-i", self.src, "-o", self.path("out.nc"), "-d", "euclidean", "-R", "11"] + list(extra)
        if quality:
            args += ["-Y", self.path(quality)]
        return run(args)

    def test_every_merge_matches_the_true_distances_of_an_approximate_tree(self):
        r = self.cluster("-M", "1000")
        self.assertEqual(r.status, 0, r)
        d = cdist(self.points, self.points)
        header, rows, _ = self.check_against(self.path("q.txt"), read_nc(self.path("out.nc")), d,
                                             np.ones_like(d, dtype=bool), "row_")
        stored = re.search(r"Values of (\d+) distances were calculated", r.stderr).group(1)
        self.assertEqual(header["stored distances"], stored)
        self.assertLess(int(stored), 80 * 79 // 2, "the tree is approximate")
        self.assertEqual(header["input"], self.src)
        self.assertEqual(header["options"], "-i %s -o %s -d euclidean -R 11 -M 1000 -Y %s"
                         % (self.src, self.path("out.nc"), self.path("q.txt")))

    def test_all_pairs_and_average_linkage_merge_at_the_true_averages(self):
        r = self.cluster("-a", "-l", "ave")
        self.assertEqual(r.status, 0, r)
        _, rows, summary = read_quality(self.path("q.txt"))
        for row in rows:
            self.assertAlmostEqual(float(row["merge_distance"]), float(row["average"]), places=10)
        self.assertAlmostEqual(float(summary["joint cost"]), float(summary["sum of merge distances"]), places=9)
        self.assertEqual(summary["merges without a known pair"], "0")

    def test_the_exact_tree_costs_less_than_an_approximate_one(self):
        self.assertEqual(self.cluster("-a", quality="exact.txt").status, 0)
        self.assertEqual(self.cluster("-M", "1000", "-q", "2", quality="approx.txt").status, 0)
        exact = float(read_quality(self.path("exact.txt"))[2]["joint cost"])
        approx = float(read_quality(self.path("approx.txt"))[2]["joint cost"])
        self.assertLessEqual(exact, approx)

    def test_progress_line_comes_after_the_clustering(self):
        r = self.cluster("-M", "1000")
        self.assertRegex(r.stderr, r"Running hierarchical clustering\.\.\. %s\n"
                                   r"Measuring clustering quality\.\.\. %s\n"
                                   r"Program running time was %s\n$" % (SECONDS, SECONDS, SECONDS))

    def test_the_output_is_the_same_with_and_without_the_quality_file(self):
        self.assertEqual(self.cluster("-M", "1000", quality=None).status, 0)
        with open(self.path("out.nc"), "rb") as f:
            without = f.read()
        self.assertEqual(self.cluster("-M", "1000").status, 0)
        with open(self.path("out.nc"), "rb") as f:
            self.assertEqual(f.read(), without)

    def test_a_quality_file_that_cannot_be_written_is_refused_before_the_run(self):
        cases = [("missing/q.txt",
                  "ERROR! Error writing quality file %s: No such file or directory\n" % self.path("missing/q.txt")),
                 (".", "ERROR! The quality file is a folder: %s\n" % self.path(".")),
                 ("out.nc", "ERROR! The quality file must be another file than the input and the output file!\n"),
                 ("m.nc", "ERROR! The quality file must be another file than the input and the output file!\n")]
        for name, message in cases:
            with self.subTest(name):
                r = self.cluster(quality=name)
                self.assertEqual(r.status, 1, r)
                self.assertEqual(r.stderr, message)
                self.assertFalse(os.path.exists(self.path("out.nc")))
        self.assertEqual(sorted(os.listdir(self.tmp)), ["m.nc"])

    def test_an_earlier_quality_file_is_replaced(self):
        with open(self.path("q.txt"), "w") as f:
            f.write("old\n" * 10000)
        self.assertEqual(self.cluster("-M", "1000").status, 0)
        self.assertEqual(len(read_quality(self.path("q.txt"))[1]), 79)
        self.assertEqual(sorted(os.listdir(self.tmp)), ["m.nc", "out.nc", "q.txt"])


def weighted_values(d, merges, n):
    """McQuitty's value of every merge from the distances d: the mean of its
    halves' values, recursively."""
    values = {}

    def value(a, b):
        # The value between the clusters of nodes a and b.
        if a >= n:
            return (value(left_of[a], b) + value(right_of[a], b)) / 2
        if b >= n:
            return (value(a, left_of[b]) + value(a, right_of[b])) / 2
        return d[a, b]
    left_of, right_of = {}, {}
    for node, (x, y) in sorted(merges.items()):
        left_of[node], right_of[node] = x, y
    for node in sorted(merges):
        values[node] = value(left_of[node], right_of[node])
    return values


def node_children(out, n, prefix):
    """Per internal node: its two children as node numbers (objects for leaves)."""
    left, right, new2old = out[prefix + "left"], out[prefix + "right"], out[prefix + "new2old"]
    return {node: tuple(int(c) if c >= n else int(new2old[c]) for c in (left[node], right[node]))
            for node in range(n, 2 * n - 1)}


def ward_cost(points, out, n, prefix):
    """The level-summed Ward cost of the file's tree from the points' centroids."""
    cost = 0.0
    for node, (a, b) in children(out, n, prefix).items():
        ca, cb = points[a].mean(axis=0), points[b].mean(axis=0)
        cost += (2 * n - 1 - node) * len(a) * len(b) / (len(a) + len(b)) * ((ca - cb) ** 2).sum()
    return cost


class LinkageValues(QualityCase):
    """The true value of weighted, Ward, centroid and median linkage, and the
    level-summed Ward cost."""

    def setUp(self):
        super().setUp()
        self.points = np.random.default_rng(13).normal(size=(60, 3))
        self.src = write_nc(self.path("m.nc"), [("m", ("r", "c"), self.points, "f8")])
        self.mat = write_nc(self.path("d.nc"), [("d", ("a", "b"), cdist(self.points, self.points), "f8")])

    def quality(self, *extra, given=False):
        source = ["-i", self.mat, "-C", "distmat"] if given else ["-i", self.src, "-d", "euclidean"]
        r = run(source + ["-o", self.path("out.nc"), "-R", "5", "-Y", self.path("q.txt")] + [str(e) for e in extra])
        self.assertEqual(r.status, 0, r)
        return read_quality(self.path("q.txt")), read_nc(self.path("out.nc"))

    def test_exact_trees_report_scipys_heights_from_data_and_from_distances(self):
        for method in ("weighted", "ward", "centroid", "median"):
            expected = linkage(self.points, method)[:, 2]
            for given in (False, True):
                with self.subTest(method=method, given=given):
                    (_, rows, summary), _ = self.quality("-a", "-l", method, given=given)
                    self.assertEqual(list(rows[0])[-2:], ["pairs", method])
                    np.testing.assert_allclose([float(r[method]) for r in rows], expected, rtol=1e-9)
                    self.assertEqual("level-summed Ward cost" in summary, method != "weighted" or not given)

    def test_an_approximate_weighted_tree_by_recursion(self):
        (_, rows, summary), out = self.quality("-M", "400", "-l", "weighted")
        d = cdist(self.points, self.points)
        want = weighted_values(d, node_children(out, 60, "row_"), 60)
        got = {int(r["node"]): float(r["weighted"]) for r in rows}
        self.assertEqual(sorted(got), sorted(want))
        for node in want:
            self.assertAlmostEqual(got[node], want[node], delta=1e-12 * want[node])
        self.assertAlmostEqual(float(summary["level-summed Ward cost"]), ward_cost(self.points, out, 60, "row_"),
                               delta=1e-9 * float(summary["level-summed Ward cost"]))

    def test_the_ward_cost_scores_any_tree_of_euclidean_distances(self):
        costs = {}
        for method in ("ave", "max", "ward"):
            (_, rows, summary), out = self.quality("-a", "-l", method)
            costs[method] = float(summary["level-summed Ward cost"])
            self.assertAlmostEqual(costs[method], ward_cost(self.points, out, 60, "row_"), delta=1e-9 * costs[method])
            # The three old linkages keep their eight columns.
            self.assertEqual(len(rows[0]), 9 if method == "ward" else 8)
        # Other measures have no centroids: no cost.
        r = run(["-i", self.src, "-o", self.path("out.nc"), "-d", "manhattan", "-a", "-Y", self.path("m.txt")])
        self.assertEqual(r.status, 0, r)
        self.assertNotIn("level-summed Ward cost", read_quality(self.path("m.txt"))[2])


class GivenDistances(QualityCase):
    def test_distance_matrix_upper_triangle_with_unknown_entries(self):
        rng = np.random.default_rng(5)
        n = 30
        d = np.triu(rng.uniform(0, 10, size=(n, n)), 1)
        d[2, 7] = np.nan
        d[4, 9] = np.inf
        stored = d.copy()
        # The lower triangle is never read.
        stored[np.tril_indices(n, -1)] = 99.0
        src = write_nc(self.path("d.nc"), [("D", ("o", "p"), stored, "f8")])
        r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distmat", "-R", "2", "-Y", self.path("q.txt")])
        self.assertEqual(r.status, 0, r)
        full = d + d.T
        known = np.isfinite(full) & ~np.eye(n, dtype=bool)
        header, _, summary = self.check_against(self.path("q.txt"), read_nc(self.path("out.nc")),
                                                full, known, "")
        self.assertEqual(summary["pairs measured"], str(n * (n - 1) // 2 - 2))
        self.assertEqual(header["merges at +infinity"], "0")

    def test_distance_list_counts_only_the_given_pairs(self):
        rng = np.random.default_rng(8)
        n = 25
        truth = np.zeros((n, n))
        known = np.zeros((n, n), dtype=bool)
        f, t, v = [], [], []
        # Two groups with pairs inside each only: one merge at +infinity.
        for _ in range(120):
            group = rng.integers(2)
            a, b = rng.integers(0, 12) + 13 * group, rng.integers(0, 12) + 13 * group
            value = rng.uniform(0, 5)
            f.append(a), t.append(b), v.append(value)
            if a != b and not known[a, b]:
                truth[a, b] = truth[b, a] = value
                known[a, b] = known[b, a] = True
        f.append(t[-1]), t.append(f[-2]), v.append(1000.0)   # the first entry of a pair wins
        src = write_nc(self.path("l.nc"), [("f", ("m",), f, "i4"), ("t", ("m",), t, "i4"),
                                           ("d", ("m",), v, "f8")], dims=[("objects", n)])
        r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distlist", "-D", "d", "-F", "f", "-T", "t",
                 "-N", "objects", "-R", "4", "-Y", self.path("q.txt")])
        self.assertEqual(r.status, 0, r)
        header, rows, summary = self.check_against(self.path("q.txt"), read_nc(self.path("out.nc")),
                                                   truth, known, "")
        infinite = [row for row in rows if row["merge_distance"] == "inf"]
        self.assertEqual(header["merges at +infinity"], str(len(infinite)))
        self.assertGreaterEqual(len(infinite), 1)
        self.assertTrue(any(row["average"] == "nan" for row in infinite))
        self.assertEqual(summary["sum of merge distances"], "inf")
        self.assertTrue(math.isfinite(float(summary["joint cost"])))


class SampleSize(BrivaneTest):
    """100 objects and 2000 distances (20 per object) of 4950 pairs, half of
    them for the heuristics: threshold_loc is 2000 * 0.5 * sample / 4950."""

    def setUp(self):
        super().setUp()
        points = np.random.default_rng(6).normal(size=(100, 3))
        self.src = write_nc(self.path("m.nc"), [("m", ("r", "c"), points, "f8")])

    def cluster(self, *extra, out="out.nc"):
        return run(["-i", self.src, "-o", self.path(out), "-d", "euclidean", "-R", "9", "-M", "2000"]
                   + list(extra))

    def estimate(self, r):
        self.assertEqual(r.status, 0, r)
        line = re.search(r"\nthreshold_loc=\d+  sample_size=\d+\n", r.stderr).group(0).strip()
        epsilon = re.search(r"Estimated epsilon is (\S+)\n", r.stderr).group(1)
        return line, epsilon

    def test_without_the_option_as_many_pairs_as_objects_are_sampled(self):
        self.assertEqual(self.estimate(self.cluster())[0], "threshold_loc=20  sample_size=100")

    def test_the_given_size_is_sampled_and_scales_the_threshold(self):
        cases = [("50", "threshold_loc=10  sample_size=50"),
                 ("1", "threshold_loc=1  sample_size=1"),
                 ("100000", "threshold_loc=20202  sample_size=100000")]
        _, default_epsilon = self.estimate(self.cluster())
        for size, line in cases:
            with self.subTest(size):
                got, epsilon = self.estimate(self.cluster("-Z", size))
                self.assertEqual(got, line)
                self.assertNotEqual(epsilon, default_epsilon)

    def test_the_flag_without_a_value_takes_the_listed_default(self):
        self.assertEqual(self.estimate(self.cluster("-Z"))[0], "threshold_loc=20202  sample_size=100000")

    def test_a_size_equal_to_the_objects_gives_the_same_output_as_none(self):
        self.assertEqual(self.cluster(out="none.nc").status, 0)
        self.assertEqual(self.cluster("-Z", "100", out="same.nc").status, 0)
        with open(self.path("none.nc"), "rb") as a, open(self.path("same.nc"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_sizes_below_one_are_refused(self):
        for size in ("0", "-3"):
            with self.subTest(size):
                r = self.cluster("-Z", size)
                self.assertEqual(r.status, 1, r)
                self.assertEqual(r.stderr, "ERROR! Option --sample-size must be at least 1!\n")


if __name__ == "__main__":
    unittest.main()

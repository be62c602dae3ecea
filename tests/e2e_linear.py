"""End-to-end tests of the linear engine (-E linear, and -E auto where
neither the store nor the dense engine's matrix fits): its output file
byte for byte the dense engine's, for several sizes, measures, element
types and thread counts, on rows where bounds spare distances too, by rows
and by columns, with the copy of the data and the quality
file; Ward linkage against the dense engine's and SciPy's, centroid and
median linkage against SciPy's; the engine that a budget selects and what a budget too small for
every engine says; the runs it refuses and why."""
import unittest

import numpy as np
from scipy.cluster.hierarchy import linkage
from scipy.spatial.distance import pdist

from e2e_cluster import output_merges
from e2e_common import BrivaneTest, read_nc, run, write_nc

LINEAR_LINE = "Clustering engine: linear (exact; each distance computed when the tree needs it)\n"
DENSE_LINE = "Clustering engine: dense (all pairs in a condensed matrix)\n"


def need_line(gigabytes):
    return "This run needs -m %.2f or more (gigabytes).\n" % gigabytes


class LinearCase(BrivaneTest):
    def rows(self, x, name="x.nc", code="f8"):
        return write_nc(self.path(name), [("x", ("obj", "feat"), x, code)])

    def cluster(self, src, *extra, out="out.nc", measure="euclidean"):
        return run(["-i", src, "-o", self.path(out), "-d", measure, "-R", "1"] + [str(e) for e in extra])

    def bytes_of(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def assertRefused(self, r, message):
        self.assertEqual(r.status, 1, r)
        self.assertTrue(r.stderr.endswith(message), r)


class SameOutputTest(LinearCase):
    def test_output_file_is_the_dense_engines(self):
        rng = np.random.default_rng(24)
        for n in (2, 3, 41, 500):
            src = self.rows(rng.normal(size=(n, 6)), name="x%d.nc" % n)
            for measure in ("euclidean", "manhattan", "pearson"):
                r = self.cluster(src, "-a", "-l", "min", "-E", "dense", out="dense.nc", measure=measure)
                self.assertEqual(r.status, 0, r)
                for threads in (1, 2):
                    with self.subTest(n=n, measure=measure, threads=threads):
                        r = self.cluster(src, "-a", "-l", "min", "-E", "linear", "-j", threads, out="linear.nc",
                                         measure=measure)
                        self.assertEqual(r.status, 0, r)
                        self.assertIn(LINEAR_LINE + "Running hierarchical clustering...", r.stderr)
                        self.assertIn("  Values of %d distances were calculated\n" % (n * (n - 1) // 2), r.stderr)
                        self.assertEqual(self.bytes_of("dense.nc"), self.bytes_of("linear.nc"))

    def test_threads_share_the_steps_of_a_larger_run(self):
        # 3000 float objects: the first steps are shared by the threads.
        src = self.rows(np.random.default_rng(5).normal(size=(3000, 4)).astype(np.float32), code="f4")
        self.assertEqual(self.cluster(src, "-a", "-l", "min", "-E", "dense", out="dense.nc").status, 0)
        for threads in (1, 2, 3):
            with self.subTest(threads=threads):
                r = self.cluster(src, "-a", "-l", "min", "-E", "linear", "-j", threads, out="linear.nc")
                self.assertEqual(r.status, 0, r)
                self.assertEqual(self.bytes_of("dense.nc"), self.bytes_of("linear.nc"))

    def test_grouped_rows_give_the_dense_engines_file(self):
        # Rows of 48 elements in far-apart groups, where the bounds spare
        # most distances, as floats and as ints.
        rng = np.random.default_rng(9)
        x = rng.normal(0, 6, (8, 48))[rng.integers(0, 8, 2500)] + rng.normal(size=(2500, 48))
        for code, values in (("f4", x.astype(np.float32)), ("i4", np.rint(x * 10).astype(np.int32))):
            src = self.rows(values, name="g%s.nc" % code, code=code)
            self.assertEqual(self.cluster(src, "-a", "-l", "min", "-E", "dense", out="dense.nc").status, 0)
            for threads in (1, 2):
                with self.subTest(code=code, threads=threads):
                    r = self.cluster(src, "-a", "-l", "min", "-E", "linear", "-j", threads, out="linear.nc")
                    self.assertEqual(r.status, 0, r)
                    self.assertEqual(self.bytes_of("dense.nc"), self.bytes_of("linear.nc"))

    def test_heights_are_scipys_single_linkage(self):
        x = np.random.default_rng(7).normal(size=(200, 3))
        r = self.cluster(self.rows(x), "-a", "-l", "min", "-E", "linear")
        self.assertEqual(r.status, 0, r)
        got = sorted(h for _, h in output_merges(read_nc(self.path("out.nc")), 200, "row_"))
        np.testing.assert_allclose(got, linkage(pdist(x), "single")[:, 2], rtol=1e-12)

    def test_columns_output_data_and_quality_are_the_dense_engines(self):
        src = self.rows(np.random.default_rng(9).normal(size=(8, 120)))
        for engine in ("dense", "linear"):
            r = self.cluster(src, "-a", "-l", "min", "-C", "cols", "-E", engine, "-O", "-Y",
                             self.path(engine + ".txt"), out=engine + ".nc", measure="spearman")
            self.assertEqual(r.status, 0, r)
        self.assertEqual(self.bytes_of("dense.nc"), self.bytes_of("linear.nc"))
        # The quality file opens with the command line, which names the engine.
        quality = [self.bytes_of(e + ".txt").split(b"\n") for e in ("dense", "linear")]
        self.assertEqual([l for l in quality[0] if not l.startswith(b"#")],
                         [l for l in quality[1] if not l.startswith(b"#")])
        self.assertGreater(len(quality[0]), 8)


class WardTest(LinearCase):
    def test_tree_is_the_dense_engines_and_scipys(self):
        rng = np.random.default_rng(31)
        for n in (2, 3, 41, 500):
            x = rng.normal(size=(n, 6))
            src = self.rows(x, name="w%d.nc" % n)
            self.assertEqual(self.cluster(src, "-a", "-l", "ward", "-E", "dense", out="dense.nc").status, 0)
            dense = read_nc(self.path("dense.nc"))
            for threads in (1, 2):
                with self.subTest(n=n, threads=threads):
                    r = self.cluster(src, "-a", "-l", "ward", "-E", "linear", "-j", threads, out="linear.nc")
                    self.assertEqual(r.status, 0, r)
                    got = read_nc(self.path("linear.nc"))
                    for name in ("row_left", "row_right", "row_start", "row_end", "row_new2old"):
                        np.testing.assert_array_equal(dense[name], got[name], err_msg=name)
                    np.testing.assert_allclose(got["row_distance"], dense["row_distance"], rtol=1e-12)
                    if n > 1:
                        heights = sorted(h for _, h in output_merges(got, n, "row_"))
                        np.testing.assert_allclose(heights, linkage(x, "ward")[:, 2], rtol=1e-9)

    def test_auto_takes_it_and_refuses_rows_not_finite(self):
        # 2000 objects of 2 doubles: Ward charges 128 + 16 + 32 bytes each.
        x = np.random.default_rng(2).normal(size=(2000, 2))
        src = self.rows(x)
        r = self.cluster(src, "-a", "-l", "ward", "-m", 0.005)
        self.assertEqual(r.status, 0, r)
        self.assertIn(LINEAR_LINE, r.stderr)
        x[4, 0] = np.inf
        r = self.cluster(self.rows(x, name="inf.nc"), "-a", "-l", "ward", "-m", 0.005)
        self.assertRefused(r, "Running hierarchical clustering...\nERROR! 1999 distances are NaN or infinite; the "
                              "linear engine needs every distance finite.\n")


def merged_sets(Z):
    """The objects under each merge of a SciPy linkage, in merge order."""
    n = len(Z) + 1
    members = [frozenset([i]) for i in range(n)]
    for a, b, _, _ in Z:
        members.append(members[int(a)] | members[int(b)])
    return members[n:]


class CentroidMedianTest(LinearCase):
    def test_trees_are_scipys_in_merge_order(self):
        # Merges in the order they were made, as SciPy's: the inversions of
        # these linkages keep it from being the order of height.
        rng = np.random.default_rng(41)
        for n in (2, 3, 41, 400):
            x = rng.normal(size=(n, 6))
            src = self.rows(x, name="g%d.nc" % n)
            for method in ("centroid", "median"):
                expected = linkage(x, method)
                for threads in (1, 2):
                    with self.subTest(n=n, method=method, threads=threads):
                        r = self.cluster(src, "-a", "-l", method, "-E", "linear", "-j", threads)
                        self.assertEqual(r.status, 0, r)
                        got = output_merges(read_nc(self.path("out.nc")), n, "row_")
                        self.assertEqual([frozenset(m) for m, _ in got], merged_sets(expected))
                        np.testing.assert_allclose([h for _, h in got], expected[:, 2], rtol=1e-9)

    def test_auto_takes_it_where_the_matrix_does_not_fit(self):
        # 2000 objects of 2 doubles: 128 + 16 + 48 bytes each.
        x = np.random.default_rng(8).normal(size=(2000, 2))
        r = self.cluster(self.rows(x), "-a", "-l", "median", "-m", 0.005)
        self.assertEqual(r.status, 0, r)
        self.assertIn(LINEAR_LINE, r.stderr)
        got = output_merges(read_nc(self.path("out.nc")), 2000, "row_")
        np.testing.assert_allclose([h for _, h in got], linkage(x, "median")[:, 2], rtol=1e-9)


class SelectionTest(LinearCase):
    def setUp(self):
        super().setUp()
        # 2000 objects of 2 doubles: the input takes 32 kB, the linear engine
        # 256 kB, the condensed matrix 16 MB (0.015 GB), the store 0.47 GB.
        self.src = self.rows(np.random.default_rng(1).normal(size=(2000, 2)))

    def test_auto_takes_it_only_where_neither_other_engine_fits(self):
        r = self.cluster(self.src, "-a", "-l", "min", "-E", "dense", out="dense.nc")
        self.assertEqual(r.status, 0, r)
        r = self.cluster(self.src, "-a", "-l", "min", "-m", 0.005, out="auto.nc")
        self.assertEqual(r.status, 0, r)
        self.assertIn(LINEAR_LINE, r.stderr)
        self.assertEqual(self.bytes_of("dense.nc"), self.bytes_of("auto.nc"))
        # Where the matrix fits, the dense engine runs as before.
        r = self.cluster(self.src, "-a", "-l", "min", "-m", 0.1)
        self.assertEqual(r.status, 0, r)
        self.assertIn(DENSE_LINE, r.stderr)
        self.assertNotIn("linear", r.stderr)

    def test_budgets_too_small(self):
        all_pairs = "ERROR! Insufficient memory to calculate all pairwise distances!\n"
        cases = [(["-l", "min", "-m", 0.0002], all_pairs + need_line(0.01)),
                 (["-l", "min", "-m", 0.0002, "-E", "linear"], all_pairs + need_line(0.01)),
                 # Average linkage has no linear engine: the matrix's need.
                 (["-l", "ave", "-m", 0.005], all_pairs + need_line(0.02)),
                 (["-l", "min", "-m", 0.005, "-E", "dense"], all_pairs + need_line(0.02))]
        for extra, message in cases:
            with self.subTest(extra=extra):
                r = self.cluster(self.src, "-a", *extra)
                self.assertRefused(r, message)
                self.assertNotIn("Running hierarchical clustering", r.stderr)


class RefusalTest(LinearCase):
    def test_runs_it_does_not_take(self):
        src = self.rows(np.random.default_rng(3).normal(size=(30, 2)))
        needs_data = ("ERROR! The linear engine (-E linear) computes the distances of a data matrix as it clusters: "
                      "it needs a data matrix and -a (all pairs). Given distances are clustered by -E dense or -E "
                      "store, a run without -a by -E store or -E compact.\n")
        not_reducible = ("linkage: its distance between two clusters is worked out from earlier distances between "
                         "clusters, which only a matrix of every pair keeps (computed again, they would take O(N^3) "
                         "time). Use -E dense or -E auto.\n")
        cases = [(["-l", "min", "-M", 200], needs_data),
                 (["-a", "-l", "ave"], "ERROR! The linear engine (-E linear) cannot cluster by average " + not_reducible),
                 (["-a", "-l", "max"], "ERROR! The linear engine (-E linear) cannot cluster by complete " + not_reducible),
                 (["-a", "-l", "we"], "ERROR! The linear engine (-E linear) cannot cluster by weighted " + not_reducible)]
        for extra, message in cases:
            with self.subTest(extra=extra):
                r = self.cluster(src, *extra, "-E", "lin")
                self.assertRefused(r, message)
                self.assertNotIn("Data input", r.stderr)
        d = np.abs(np.subtract.outer(np.arange(5.0), np.arange(5.0)))
        mat = write_nc(self.path("d.nc"), [("d", ("a", "b"), d, "f8")])
        r = run(["-i", mat, "-o", self.path("out.nc"), "-C", "distmat", "-l", "min", "-E", "linear"])
        self.assertRefused(r, needs_data)

    def test_distances_not_finite(self):
        x = np.random.default_rng(5).normal(size=(300, 2))
        x[7, 1] = np.nan
        src = self.rows(x)
        r = self.cluster(src, "-a", "-l", "min", "-E", "linear")
        self.assertRefused(r, "Running hierarchical clustering...\nERROR! 299 distances are NaN or infinite; the "
                              "linear engine needs every distance finite.\nThe distance store (-E store) clusters "
                              "such distances.\n")
        # Under -E auto it ran because nothing else fits: the store's need.
        r = self.cluster(src, "-a", "-l", "min", "-m", 0.0003)
        self.assertRefused(r, "ERROR! 299 distances are NaN or infinite; the linear engine needs every distance "
                              "finite.\nThe distance store (-E store) clusters such distances.\n" + need_line(0.02))
        self.assertIn(LINEAR_LINE, r.stderr)


if __name__ == "__main__":
    unittest.main()

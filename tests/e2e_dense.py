"""End-to-end tests of the exact dense engine (-E dense, and -E auto where
the distance store does not fit): its merges against SciPy's exact linkage
and against the store engine's, on inputs with and without equal distances;
the weighted, Ward, centroid and median linkages against SciPy, their
keywords, and the runs that cannot have them yet;
which engine a budget selects and what a budget too small for either says;
the refusal of distances that are not finite; and missing values, skipped
pair by pair with the store's own measure or read from a distance matrix's
fill cells, where both engines agree."""
import re
import unittest

import netCDF4

import numpy as np
from scipy.cluster.hierarchy import linkage
from scipy.spatial.distance import pdist, squareform

from e2e_cluster import exact_merges, output_merges
from e2e_common import BrivaneTest, read_nc, run, write_nc
from e2e_export import export

GB = 2.0 ** 30
DENSE_LINE = "Clustering engine: dense (all pairs in a condensed matrix)\n"


def need_line(gigabytes):
    return "This run needs -m %.2f or more (gigabytes).\n" % gigabytes


def merge_sets(merges):
    """The merges as (frozen object set, height), sorted by object set, so
    that merges of equal height compare whatever their order."""
    return sorted(((frozenset(m), h) for m, h in merges), key=lambda e: sorted(e[0]))


class DenseCase(BrivaneTest):
    def rows(self, x, name="x.nc", code="f8"):
        return write_nc(self.path(name), [("x", ("obj", "feat"), x, code)])

    def cluster(self, src, *extra, out="out.nc", measure="euclidean"):
        return run(["-i", src, "-o", self.path(out), "-d", measure, "-R", "1"] + list(extra))

    def assertRefused(self, r, message):
        self.assertEqual(r.status, 1, r)
        self.assertTrue(r.stderr.endswith(message), r)
        self.assertNotIn("Running hierarchical clustering", r.stderr)

    def assertSameMerges(self, got, want):
        got, want = merge_sets(got), merge_sets(want)
        self.assertEqual([m for m, _ in got], [m for m, _ in want])
        np.testing.assert_allclose([h for _, h in got], [h for _, h in want], rtol=1e-12)


class MergesTest(DenseCase):
    def test_data_rows_equal_scipy_and_the_store_for_every_linkage(self):
        rng = np.random.default_rng(4)
        x = rng.normal(size=(90, 6))
        src = self.rows(x)
        d = squareform(pdist(x))
        for method in ("min", "ave", "max"):
            with self.subTest(method=method):
                r = self.cluster(src, "-a", "-l", method, "-E", "dense", out="dense.nc")
                self.assertEqual(r.status, 0, r)
                self.assertIn(DENSE_LINE + "Running hierarchical clustering...", r.stderr)
                dense = output_merges(read_nc(self.path("dense.nc")), 90, "row_")
                self.assertSameMerges(dense, exact_merges(d, method))
                r = self.cluster(src, "-a", "-l", method, out="store.nc")
                self.assertEqual(r.status, 0, r)
                self.assertNotIn("Clustering engine", r.stderr)
                self.assertSameMerges(dense, output_merges(read_nc(self.path("store.nc")), 90, "row_"))

    def test_distance_matrix_read_in_blocks_equals_the_store(self):
        # 1200 float rows take 4800 bytes, so the matrix is read in two blocks.
        # Distinct floats (steps of 2^-23 above 1): no two pairs are equal,
        # and single and complete linkage merge at given values only.
        n = 1200
        values = 1 + np.random.default_rng(8).permutation(n * (n - 1) // 2) / 2.0 ** 23
        d = squareform(values.astype(np.float32))
        src = write_nc(self.path("d.nc"), [("d", ("a", "b"), d, "f4")])
        for method in ("max", "min"):
            with self.subTest(method=method):
                r = run(["-i", src, "-o", self.path("dense.nc"), "-C", "distmat", "-l", method, "-E", "dense"])
                self.assertEqual(r.status, 0, r)
                r = run(["-i", src, "-o", self.path("store.nc"), "-C", "distmat", "-l", method])
                self.assertEqual(r.status, 0, r)
                self.assertSameMerges(output_merges(read_nc(self.path("dense.nc")), 1200),
                                      output_merges(read_nc(self.path("store.nc")), 1200))

    def test_equal_distances_give_a_valid_tree(self):
        # Points of a small integer grid: many equal distances.
        rng = np.random.default_rng(2)
        x = rng.integers(0, 3, size=(60, 2)).astype(float)
        src = self.rows(x)
        for method in ("min", "ave", "max"):
            with self.subTest(method=method):
                r = self.cluster(src, "-a", "-l", method, "-E", "dense")
                self.assertEqual(r.status, 0, r)
                merges = output_merges(read_nc(self.path("out.nc")), 60, "row_")
                heights = [h for _, h in merges]
                self.assertEqual(heights, sorted(heights))
                self.assertEqual(merges[-1][0], set(range(60)))
                if method == "min":
                    z = linkage(pdist(x), "single")
                    np.testing.assert_array_equal(sorted(heights), sorted(z[:, 2]))

    def test_output_data_and_quality_file(self):
        rng = np.random.default_rng(3)
        d = squareform(pdist(rng.normal(size=(40, 3))))
        src = write_nc(self.path("d.nc"), [("d", ("o", "p"), d, "f8")])
        r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distmat", "-E", "dense", "-O",
                 "-Y", self.path("q.tsv")])
        self.assertEqual(r.status, 0, r)
        out = read_nc(self.path("out.nc"))
        order = out["new2old"][:40]
        np.testing.assert_array_equal(out["d"], d[order, :])
        lines = open(self.path("q.tsv")).read().splitlines()
        self.assertIn("# stored distances\t780", lines)
        self.assertEqual(len([l for l in lines if l[0].isdigit()]), 39)


def scipy_merges(z):
    """(objects, height) of every merge of a SciPy linkage matrix."""
    members = [{i} for i in range(len(z) + 1)]
    merges = []
    for a, b, height, _ in z:
        members.append(members[int(a)] | members[int(b)])
        merges.append((members[-1], height))
    return merges


NEW_LINKAGES = ("ward", "centroid", "median", "weighted")


class NewLinkagesTest(DenseCase):
    def assertSciPys(self, got, want):
        got, want = merge_sets(got), merge_sets(want)
        self.assertEqual([m for m, _ in got], [m for m, _ in want])
        np.testing.assert_allclose([h for _, h in got], [h for _, h in want], rtol=1e-9)

    def test_data_rows_equal_scipy_at_several_sizes(self):
        for n in (2, 3, 41, 350):
            x = np.random.default_rng(n).normal(size=(n, 4))
            src = self.rows(x, name="x%d.nc" % n)
            for method in NEW_LINKAGES:
                with self.subTest(n=n, method=method):
                    r = self.cluster(src, "-a", "-l", method)
                    self.assertEqual(r.status, 0, r)
                    # Under -E auto the dense engine takes them, the store fitting or not.
                    self.assertIn(DENSE_LINE + "Running hierarchical clustering...", r.stderr)
                    self.assertSciPys(output_merges(read_nc(self.path("out.nc")), n, "row_"),
                                      scipy_merges(linkage(x, method)))

    def test_distance_matrix_equals_scipy(self):
        x = np.random.default_rng(9).normal(size=(120, 3))
        d = squareform(pdist(x))
        src = write_nc(self.path("d.nc"), [("d", ("a", "b"), d, "f8")])
        for method in NEW_LINKAGES:
            with self.subTest(method=method):
                r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distmat", "-l", method, "-j", 2])
                self.assertEqual(r.status, 0, r)
                self.assertSciPys(output_merges(read_nc(self.path("out.nc")), 120),
                                  scipy_merges(linkage(pdist(x), method)))

    def test_weighted_in_the_store_equals_scipy(self):
        x = np.random.default_rng(12).normal(size=(80, 5))
        r = self.cluster(self.rows(x), "-a", "-l", "we", "-E", "store")
        self.assertEqual(r.status, 0, r)
        self.assertIn("Clustering engine: store\nRunning", r.stderr)
        self.assertSciPys(output_merges(read_nc(self.path("out.nc")), 80, "row_"),
                          scipy_merges(linkage(x, "weighted")))

    def test_centroid_inversion_is_written_in_merge_order(self):
        # A flat triangle: 0 and 1 merge at 1, and 2 is 0.9 from their centroid.
        x = np.array([[0.0, 0.0], [1.0, 0.0], [0.5, 0.9]])
        for method in ("centroid", "median"):
            with self.subTest(method=method):
                r = self.cluster(self.rows(x), "-a", "-l", method)
                self.assertEqual(r.status, 0, r)
                out = read_nc(self.path("out.nc"))
                np.testing.assert_allclose(out["row_distance"][3:], [1.0, 0.9], rtol=1e-12)
                status, text, err = export(["linkage", "-t", self.path("out.nc"), "-o", "-"])
                self.assertEqual(status, 0, err)
                z = np.loadtxt(text.splitlines())
                np.testing.assert_allclose(z[:, 2], linkage(x, method)[:, 2], rtol=1e-12)

    def test_keywords_by_prefix(self):
        x = np.random.default_rng(6).normal(size=(30, 2))
        src = self.rows(x)
        for words in (["min", "mi"], ["max", "ma"], ["median", "me", "MEDIAN"], ["ward", "wa", "Ward"],
                      ["weighted", "we"], ["centroid", "c"], ["ave", "a"]):
            with self.subTest(words=words):
                outputs = []
                for k, word in enumerate(words):
                    r = self.cluster(src, "-a", "-l", word, out="k%d.nc" % k)
                    self.assertEqual(r.status, 0, r)
                    with open(self.path("k%d.nc" % k), "rb") as f:
                        outputs.append(f.read())
                self.assertEqual(len(set(outputs)), 1)
        for word in ("m", "w", "wards"):
            with self.subTest(word=word):
                r = self.cluster(src, "-a", "-l", word)
                self.assertEqual(r.status, 1, r)
                self.assertIn("Value '%s' is not allowed, legal values are non-ambiguous prefixes of the following "
                              "keywords: 'MIN' 'AVE' 'MAX' 'WARD' 'CENTROID' 'MEDIAN' 'WEIGHTED'\n" % word, r.stderr)

    def test_runs_that_cannot_have_them_are_refused(self):
        src = self.rows(np.random.default_rng(3).normal(size=(30, 2)))
        euclidean = ("linkage needs euclidean distances: its heights are distances between cluster "
                     "centroids, which other measures do not have. Use -d euclidean, or give a distance matrix "
                     "(-C distmat) that is euclidean.\n")
        from_list = ("linkage cannot cluster a distance list: over some pairs only, its merge values are worked "
                     "out from the clusters' centroids, which given distances do not have. Cluster the data "
                     "matrix with -d euclidean, or give every pair in a distance matrix (-C distmat).\n")
        store = ("linkage: its merge values are worked out from the clusters' sizes and centroids, which the "
                 "store does not keep. Use -E auto (or -E compact, or with -a -E dense).\n")
        cases = [(["-a", "-l", "ward"], "manhattan", "ERROR! Ward " + euclidean),
                 (["-l", "centroid", "-M", 200], "pearson", "ERROR! Centroid " + euclidean),
                 (["-l", "median", "-M", 200, "-E", "store"], "euclidean",
                  "ERROR! The distance store (-E store) does not cluster by Median " + store),
                 (["-a", "-l", "ward", "-E", "store"], "euclidean",
                  "ERROR! The distance store (-E store) does not cluster by Ward " + store)]
        for extra, measure, message in cases:
            with self.subTest(extra=extra, measure=measure):
                r = self.cluster(src, *extra, measure=measure)
                self.assertRefused(r, message)
                self.assertNotIn("Data input", r.stderr)
        # A distance list has no centroids.
        lst = write_nc(self.path("l.nc"), [("f", ("m",), np.array([0, 1], np.int32), "i4"),
                                          ("t", ("m",), np.array([1, 2], np.int32), "i4"),
                                          ("d", ("m",), np.array([1.0, 2.0]), "f8")], dims=[("objects", 3)])
        r = run(["-i", lst, "-o", self.path("out.nc"), "-C", "distlist", "-N", "objects", "-F", "f", "-T", "t",
                 "-D", "d", "-l", "median"])
        self.assertRefused(r, "ERROR! Median " + from_list)

    def test_distances_not_finite_do_not_point_at_the_store(self):
        x = np.random.default_rng(5).normal(size=(50, 2))
        x[7, 1] = np.nan
        r = self.cluster(self.rows(x), "-a", "-l", "ward")
        self.assertRefused(r, "ERROR! 49 distances are NaN or infinite; the dense engine needs every distance "
                              "finite.\n")
        # Weighted linkage has the store to go to.
        r = self.cluster(self.rows(x), "-a", "-l", "weighted")
        self.assertRefused(r, "ERROR! 49 distances are NaN or infinite; the dense engine needs every distance "
                              "finite.\nThe distance store (-E store) clusters such distances.\n")


class SelectionTest(DenseCase):
    def setUp(self):
        super().setUp()
        # 2000 objects: all pairs take 0.47 GB in the store, 0.02 GB dense.
        self.src = self.rows(np.random.default_rng(1).normal(size=(2000, 2)))

    def test_budget_decides_the_engine(self):
        for budget, extra, dense in ((0.1, [], True), (0.1, ["-E", "auto"], True),
                                     (0.6, ["-E", "dense"], True), (0.6, ["-E", "store"], False)):
            with self.subTest(budget=budget, extra=extra):
                r = self.cluster(self.src, "-a", "-l", "max", "-m", budget, *extra)
                self.assertEqual(r.status, 0, r)
                self.assertEqual(DENSE_LINE in r.stderr, dense, r)
                if not dense:
                    self.assertIn("Clustering engine: store\nRunning", r.stderr)

    def test_budget_too_small_names_the_memory_needed(self):
        cases = [(["-a", "-m", 0.01], "ERROR! Insufficient memory to calculate all pairwise distances!\n" +
                  need_line(0.02)),
                 (["-a", "-m", 0.01, "-E", "dense"],
                  "ERROR! Insufficient memory to calculate all pairwise distances!\n" + need_line(0.02)),
                 (["-a", "-m", 0.1, "-E", "store"],
                  "ERROR! Insufficient memory to calculate all pairwise distances!\n" + need_line(0.47))]
        for extra, message in cases:
            with self.subTest(extra=extra):
                self.assertRefused(self.cluster(self.src, *extra), message)

    def test_beyond_the_store_limit(self):
        # 18920 objects have more pairs than the store holds at any budget.
        src = self.rows(np.zeros((18920, 1)), name="big.nc")
        self.assertRefused(self.cluster(src, "-a", "-m", 100, "-E", "store"),
                           "ERROR! Too many distances for the distance store (at most 178956969 pairs)!\n")
        # The dense engine needs 8 bytes for each of its 178,973,740 pairs.
        self.assertRefused(self.cluster(src, "-a", "-m", 1),
                           "ERROR! Insufficient memory to calculate all pairwise distances!\n" +
                           need_line(1.34))

    def test_engine_without_every_pair_has_no_effect(self):
        r = self.cluster(self.src, "-M", 20000, "-E", "dense", out="a.nc")
        self.assertEqual(r.status, 0, r)
        self.assertIn("WARNING! --engine dense has no effect", r.stderr)
        self.assertEqual(self.cluster(self.src, "-M", 20000, out="b.nc").status, 0)
        self.assertEqual(open(self.path("a.nc"), "rb").read(), open(self.path("b.nc"), "rb").read())


class NotFiniteTest(DenseCase):
    def test_not_finite_distances_are_counted_and_refused(self):
        x = np.random.default_rng(5).normal(size=(300, 2))
        x[7, 1] = np.nan
        src = self.rows(x)
        # The store needs 0.011 GB for the 44850 pairs; the dense engine 0.0004.
        store = "The distance store (-E store) clusters such distances.\n"
        self.assertRefused(self.cluster(src, "-a", "-m", 0.005),
                           "ERROR! 299 distances are NaN or infinite; the dense engine needs every distance "
                           "finite.\n" + store + need_line(0.02))
        self.assertRefused(self.cluster(src, "-a", "-E", "dense"),
                           "ERROR! 299 distances are NaN or infinite; the dense engine needs every distance "
                           "finite.\n" + store)
        self.assertEqual(self.cluster(src, "-a").status, 0)

    def test_distance_matrix_counts_its_upper_triangle(self):
        d = squareform(pdist(np.random.default_rng(6).normal(size=(20, 2))))
        d[2, 5] = np.inf
        d[5, 2] = np.nan   # below the diagonal: never read
        d[0, 19] = np.nan
        src = write_nc(self.path("d.nc"), [("d", ("o", "p"), d, "f8")])
        r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distmat", "-E", "dense"])
        self.assertRefused(r, "ERROR! 2 distances are NaN or infinite; the dense engine needs every distance "
                              "finite.\nThe distance store (-E store) clusters such distances.\n")


def with_fill_value(path, d, code, **attributes):
    """A distance matrix whose variable carries _FillValue or missing_value."""
    with netCDF4.Dataset(path, "w", format="NETCDF3_CLASSIC") as ds:
        ds.createDimension("a", len(d))
        ds.createDimension("b", len(d))
        var = ds.createVariable("d", code, ("a", "b"), fill_value=attributes.pop("_FillValue", None))
        var.set_auto_maskandscale(False)
        for key, value in attributes.items():
            var.setncattr(key, value)
        var[...] = d
    return path


class MissingValuesTest(DenseCase):
    def test_pairwise_distances_are_the_stores_for_every_measure(self):
        # 8 % of the cells missing; every pair still shares enough values.
        rng = np.random.default_rng(9)
        x = rng.normal(size=(70, 12))
        x[rng.random(x.shape) < 0.08] = np.nan
        src = self.rows(x)
        for measure in ("euclidean", "manhattan", "averdiff", "maxdiff", "signsum", "pearson", "spearman",
                        "absspearman", "chord"):
            # Single linkage heights are those of the minimum spanning tree
            # however equal distances are ordered.
            with self.subTest(measure=measure):
                args = ["-a", "-U", "pairwise", "-l", "min"]
                r = self.cluster(src, *args, "-E", "dense", out="dense.nc", measure=measure)
                self.assertEqual(r.status, 0, r)
                self.assertIn(DENSE_LINE, r.stderr)
                self.assertEqual(self.cluster(src, *args, out="store.nc", measure=measure).status, 0)
                dense, store = read_nc(self.path("dense.nc")), read_nc(self.path("store.nc"))
                np.testing.assert_array_equal(np.sort(dense["row_distance"]), np.sort(store["row_distance"]))
        for measure in ("euclidean", "maxdiff"):
            for method in ("ave", "max"):
                with self.subTest(measure=measure, method=method):
                    args = ["-a", "-U", "pairwise", "-l", method]
                    r = self.cluster(src, *args, "-E", "dense", out="dense.nc", measure=measure)
                    self.assertEqual(r.status, 0, r)
                    self.assertEqual(self.cluster(src, *args, out="store.nc", measure=measure).status, 0)
                    self.assertSameMerges(output_merges(read_nc(self.path("dense.nc")), 70, "row_"),
                                          output_merges(read_nc(self.path("store.nc")), 70, "row_"))

    def test_pairs_without_a_pairwise_distance_are_refused(self):
        x = np.random.default_rng(10).normal(size=(40, 5))
        x[3] = np.nan
        x[4, 1:] = np.nan  # one value: too few for a correlation
        src = self.rows(x)
        store = "The distance store (-E store) clusters such distances.\n"
        cases = [("euclidean", 39), ("pearson", 39 + 38)]
        for measure, count in cases:
            with self.subTest(measure=measure):
                args = ["-a", "-U", "pairwise"]
                self.assertRefused(self.cluster(src, *args, "-E", "dense", measure=measure),
                                   "ERROR! %d pairs have no distance (their objects share too few values); the "
                                   "dense engine needs every distance finite.\n" % count + store)
                self.assertEqual(self.cluster(src, *args, measure=measure).status, 0)

    def test_fill_cells_of_a_matrix_read_in_blocks_are_missing(self):
        # 1200 float rows take 4800 bytes, so without -Y the matrix is read in
        # two blocks; a fill cell lies in each, and each is mirrored below
        # the diagonal, which is counted but never read as a distance.
        n = 1200
        d = squareform((1 + np.random.default_rng(11).permutation(n * (n - 1) // 2) / 2.0 ** 23)
                       .astype(np.float32))
        for i, j in ((3, 700), (1000, 1100)):
            d[i, j] = d[j, i] = -999
        fill_line = "\n  4 cells of 'd' hold its _FillValue or missing_value and are read as missing (NaN)\n"
        refusal = ("ERROR! 2 distances are NaN or infinite; the dense engine needs every distance finite.\n"
                   "The distance store (-E store) clusters such distances.\n")
        for attributes in ({"_FillValue": np.float32(-999)}, {"missing_value": np.float32(-999)}):
            src = with_fill_value(self.path("d.nc"), d, "f4", **attributes)
            for extra in ([], ["-Y", self.path("q.tsv")]):
                with self.subTest(attributes=attributes, extra=extra):
                    r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distmat", "-E", "dense"] + extra)
                    self.assertRefused(r, refusal)
                    self.assertIn(fill_line, r.stderr)
            with self.subTest(attributes=attributes, engine="auto"):
                # The store would need 0.18 GB: the automatic choice takes the
                # dense engine, refuses and names the store's budget.
                r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distmat", "-m", 0.05])
                self.assertEqual(r.status, 1, r)
                self.assertIn(fill_line, r.stderr)
                self.assertTrue(r.stderr.endswith(refusal + need_line(0.18)), r)
            with self.subTest(attributes=attributes, engine="store"):
                r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distmat"])
                self.assertEqual(r.status, 0, r)
                self.assertIn(fill_line, r.stderr)
                self.assertTrue(re.search(r"Values of 719398 distances were input", r.stderr), r.stderr)

    def test_fill_cells_of_an_integer_matrix_read_in_blocks_are_kept(self):
        d = squareform(pdist(np.random.default_rng(12).integers(0, 50, size=(30, 2)), "cityblock")).astype(np.int32)
        d[2, 9] = d[9, 2] = -1
        src = with_fill_value(self.path("d.nc"), d, "i4", _FillValue=np.int32(-1))
        warning = ("WARNING! 2 cells of 'd' hold its _FillValue or missing_value, but integer and character values "
                   "cannot be missing: they are clustered as the values they hold.\n")
        for engine in ("dense", "store"):
            with self.subTest(engine=engine):
                r = run(["-i", src, "-o", self.path(engine + ".nc"), "-C", "distmat", "-l", "min", "-E", engine])
                self.assertEqual(r.status, 0, r)
                self.assertIn(warning, r.stderr)
        np.testing.assert_array_equal(np.sort(read_nc(self.path("dense.nc"))["distance"]),
                                      np.sort(read_nc(self.path("store.nc"))["distance"]))


if __name__ == "__main__":
    unittest.main()

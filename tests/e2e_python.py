"""The Python package over the real programs: the conversion of dendrogram
files to SciPy's linkage (+inf joins, names, damaged files), argument
errors, failed and crashed runs, the removal of every temporary file, how
the programs are found, and the estimator."""
import contextlib
import io
import os
import signal
import subprocess
import tempfile
import threading
import unittest

import netCDF4
import numpy as np
import scipy.sparse
from scipy.cluster import hierarchy

import brivane
from e2e_common import BrivaneTest, run, write_nc

BIN_DIR = os.environ.get("BRIVANE_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))


def blobs(per=8, seed=0):
    """Three well separated groups of `per` points in the plane."""
    rng = np.random.default_rng(seed)
    centres = np.array([[0, 0], [10, 0], [0, 10]])
    return np.vstack([c + rng.normal(scale=0.5, size=(per, 2)) for c in centres])


class PackageTest(BrivaneTest):
    """Runs with tempfile's folder set to an empty scratch folder, so that a
    test sees every temporary file a call leaves behind."""

    def setUp(self):
        super().setUp()
        self.scratch = self.path("scratch")
        os.mkdir(self.scratch)
        self._tempdir, tempfile.tempdir = tempfile.tempdir, self.scratch
        self._bin = os.environ.pop("BRIVANE_BIN", None)

    def tearDown(self):
        tempfile.tempdir = self._tempdir
        os.environ.pop("BRIVANE_BIN", None)
        if self._bin is not None:
            os.environ["BRIVANE_BIN"] = self._bin
        super().tearDown()

    def assert_no_leftovers(self):
        self.assertEqual(os.listdir(self.scratch), [])

    def fake_program(self, body):
        """A stand-in for brivane: a shell script that logs its words."""
        path = self.path("fake-brivane")
        with open(path, "w") as f:
            f.write("#!/bin/sh\necho \"$@\" >> %s\n%s\n" % (self.path("fake.log"), body))
        os.chmod(path, 0o755)
        os.environ["BRIVANE_BIN"] = path
        return path


class Conversions(PackageTest):
    def test_unconnected_clusters_join_at_infinity_and_draw_at_twice_the_top(self):
        # Two components, {0, 1, 2} and {3, 4}: one join has no known distance.
        D = scipy.sparse.lil_matrix((5, 5))
        D[0, 1], D[1, 2], D[0, 2], D[3, 4] = 1.0, 2.0, 4.0, 3.0
        Z = brivane.linkage(D.tocsr(), "single", "precomputed", seed=3)
        self.assertTrue(hierarchy.is_valid_linkage(Z))
        np.testing.assert_array_equal(Z[:, 2], [1, 2, 3, np.inf])
        self.assertEqual(sorted(hierarchy.fcluster(Z, 2, "maxclust")), [1, 1, 1, 2, 2])
        np.testing.assert_array_equal(brivane.finite(Z)[:, 2], [1, 2, 3, 6])
        self.assert_no_leftovers()

    def test_no_given_distances_join_everything_at_infinity(self):
        Z = brivane.linkage(scipy.sparse.csr_matrix((4, 4)), metric="precomputed", seed=1)
        self.assertTrue(hierarchy.is_valid_linkage(Z))
        np.testing.assert_array_equal(Z[:, 2], [np.inf] * 3)
        np.testing.assert_array_equal(brivane.finite(Z)[:, 2], [1] * 3)

    def test_strings_with_the_string_measures(self):
        for strings, metric, heights in [(["abc", "abd", "xyz"], "levenshtein", [1, 3]),
                                         (["saturday", b"sunday"], "hamming", [7]),
                                         (np.array(["saturday", "sunday"]), "levenshtein", [3])]:
            np.testing.assert_array_equal(brivane.linkage(strings, "single", metric, exact=True)[:, 2], heights)

    def test_finite_heights(self):
        # (heights of merges 5, 6, 7 over objects 0..4 in a chain, drawn heights)
        cases = [([1, 2, np.inf, np.inf], [1, 2, 4, 4]),
                 ([1, np.nan, 3, np.inf], [1, 1, 3, 6]),
                 ([np.nan, np.nan, np.inf, 2], [0, 0, 4, 2]),
                 ([0, 0, np.inf, np.inf], [0, 0, 1, 1])]
        for heights, drawn in cases:
            Z = np.array([[0, 1, 0, 2], [5, 2, 0, 3], [6, 3, 0, 4], [7, 4, 0, 5]], dtype=float)
            Z[:, 2] = heights
            np.testing.assert_array_equal(brivane.finite(Z)[:, 2], drawn, err_msg=str(heights))
            self.assertTrue(np.isnan(Z[1, 2]) or heights[1] == Z[1, 2], "the input is left as it was")

    def test_a_single_object_gives_an_empty_linkage(self):
        self.assertEqual(brivane.linkage(np.ones((1, 3)), exact=True).shape, (0, 4))

    def test_quality_table_and_phases(self):
        X = blobs()
        result = brivane.cluster(X, exact=True, quality=True)
        q = result.quality
        n = len(X)
        np.testing.assert_array_equal(q["node"], np.arange(n, 2 * n - 1))
        np.testing.assert_array_equal(q["left_size"] + q["right_size"], result.linkage[:, 3])
        # Exact average linkage merges at the true average distance.
        np.testing.assert_allclose(q["merge_distance"], q["average"], rtol=1e-12)
        np.testing.assert_allclose(q["merge_distance"], result.linkage[:, 2], rtol=1e-12)
        self.assertEqual(result.quality_summary["objects"], n)
        self.assertTrue(any(line.startswith("Running hierarchical clustering") for line in result.phases))
        self.assert_no_leftovers()

    def test_options_reach_the_program(self):
        X = blobs()
        result = brivane.cluster(X, "complete", "cosine", num_distances=60, similar=0.3, pivots=3, seed=5,
                                 threads=1, memory=0.5)
        self.assertIn("Random seed from user = 5", result.phases)
        self.assertTrue(hierarchy.is_valid_linkage(result.linkage))
        result = brivane.cluster(X, "single", "spearman", time=0.5, seed=6)
        self.assertIn("Random seed from user = 6", result.phases)

    def test_masked_values_are_missing(self):
        X = np.ma.masked_array(blobs(3), mask=False)
        X.mask[0, 0] = True
        X.data[0, 0] = 1e6  # hidden behind the mask
        Z = brivane.linkage(X, "single", exact=True)
        self.assertTrue(np.isnan(Z[:, 2]).any() and (Z[:, 2][np.isfinite(Z[:, 2])] < 1e5).all())

    def test_verbose_echoes_the_progress_lines(self):
        echoed = io.StringIO()
        with contextlib.redirect_stderr(echoed):
            result = brivane.cluster(blobs(), num_distances=100, seed=2, verbose=True)
        self.assertEqual(echoed.getvalue().splitlines(), result.phases)


class TreeFiles(PackageTest):
    def make_tree(self, axis):
        X = blobs(4)
        names = np.array([list(("obj%d" % i).ljust(6, "\0")) for i in range(len(X))], dtype="S1")
        data = X if axis == 0 else X.T
        dims = ("genes", "samples") if axis == 0 else ("samples", "genes")
        write_nc(self.path("in.nc"), [("data", dims, data, "f8"), ("gene_name", ("genes", "chars"), names, "S1")])
        result = run(["-i", self.path("in.nc"), "-D", "data", "-C", "rows" if axis == 0 else "cols",
                      "-d", "euclidean", "-a", "-O", "-o", self.path("tree.nc")])
        self.assertEqual(result.status, 0, result)
        return X

    def test_names_come_back_in_object_order(self):
        for axis, prefix in ((0, "row_"), (1, "col_")):
            X = self.make_tree(axis)
            tree = brivane.read_tree(self.path("tree.nc"))
            self.assertEqual(tree.prefix, prefix)
            self.assertEqual(tree.names, ["obj%d" % i for i in range(len(X))])
            np.testing.assert_allclose(tree.linkage, brivane.linkage(X, exact=True))
            np.testing.assert_array_equal(hierarchy.leaves_list(tree.linkage), tree.leaf_order)

    def test_damaged_and_foreign_files_are_refused(self):
        self.make_tree(0)

        # (variable, node, the node whose value it takes): a child used twice,
        # a child made after its parent, an object at two leaf positions.
        n = 12
        for k, (name, node, other) in enumerate([("row_left", 2 * n - 2, ("row_right", 2 * n - 2)),
                                                 ("row_left", 2 * n - 3, None), ("row_new2old", 0, ("row_new2old", 1))]):
            path = self.path("damaged%d.nc" % k)
            subprocess.run(["cp", self.path("tree.nc"), path], check=True)
            with netCDF4.Dataset(path, "a") as ds:
                ds[name][node] = ds[other[0]][other[1]] if other else 2 * n - 2
            with self.assertRaises(brivane.BrivaneError, msg=name):
                brivane.read_tree(path)
        for path in (self.path("in.nc"), self.path("missing.nc")):
            with self.assertRaises(brivane.BrivaneError, msg=path):
                brivane.read_tree(path)


class SciPyFiles:
    """Runs a test class with SciPy's NetCDF module, as on a machine without netCDF4."""

    def setUp(self):
        super().setUp()
        self._backend, brivane._netcdf.netCDF4 = brivane._netcdf.netCDF4, None

    def tearDown(self):
        brivane._netcdf.netCDF4 = self._backend
        super().tearDown()


class ConversionsWithSciPyFiles(SciPyFiles, Conversions):
    pass


class TreeFilesWithSciPyFiles(SciPyFiles, TreeFiles):
    pass


class Errors(PackageTest):
    def test_bad_arguments_are_refused_before_any_file_is_written(self):
        X = blobs(3)
        cases = [({"method": "ward"}, ValueError), ({"metric": "sqeuclidean"}, ValueError),
                 ({"metric": 3}, TypeError), ({"X": np.zeros((2, 2, 2))}, ValueError),
                 ({"X": np.arange(6.0)}, ValueError), ({"X": X.astype(complex)}, TypeError),
                 ({"X": np.array([["a", "b"], ["c", "d"]])}, TypeError), ({"X": np.zeros((0, 3))}, ValueError),
                 ({"X": np.array([[2**60, 0], [0, 1]])}, ValueError), ({"axis": 2}, ValueError),
                 ({"exact": True, "num_distances": 10}, ValueError), ({"similar": 0.5}, ValueError),
                 ({"num_distances": 10, "time": 1}, ValueError), ({"memory": 0}, ValueError),
                 ({"memory": "2"}, TypeError), ({"threads": 0}, ValueError), ({"seed": 2**40}, ValueError),
                 ({"p": 3}, ValueError), ({"metric": "minkowski", "p": -1}, ValueError),
                 ({"metric": "precomputed", "X": np.arange(4.0)}, ValueError),
                 ({"metric": "precomputed", "X": np.triu(np.ones((3, 3)))}, ValueError),
                 ({"metric": "precomputed", "X": np.ones((2, 3))}, ValueError),
                 ({"X": scipy.sparse.eye(3).tocsr()}, TypeError),
                 ({"metric": "precomputed", "X": scipy.sparse.csr_matrix((2, 3))}, ValueError)]
        self.fake_program("exit 0")
        for kwargs, error in cases:
            kwargs = dict(kwargs)
            data = kwargs.pop("X", X)
            with self.assertRaises(error, msg=str(kwargs)):
                brivane.linkage(data, **kwargs)
            self.assertFalse(os.path.exists(self.path("fake.log")), kwargs)
            self.assert_no_leftovers()

    def test_a_failed_run_raises_with_the_error_line_and_status(self):
        with self.assertRaises(brivane.BrivaneError) as caught:
            brivane.linkage(blobs(), memory=1e-9)
        self.assertEqual(caught.exception.status, 1)
        self.assertEqual(caught.exception.message, "ERROR! Insufficient memory to hold all input data")
        self.assert_no_leftovers()

    def test_a_crash_leaves_the_interpreter_and_no_files(self):
        self.fake_program('cp "$2" %s; kill -SEGV $$' % self.path("seen.nc"))
        with self.assertRaises(brivane.BrivaneError) as caught:
            brivane.linkage(blobs())
        self.assertEqual(caught.exception.status, -11)
        self.assertIn("SIGSEGV", caught.exception.message)
        self.assertTrue(os.path.exists(self.path("seen.nc")), "the program was given an input file")
        self.assert_no_leftovers()

    def test_an_interrupt_ends_the_run_and_removes_its_files(self):
        self.fake_program("echo $$ > %s; exec sleep 60" % self.path("pid"))
        timer = threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        with self.assertRaises(KeyboardInterrupt):
            brivane.linkage(blobs())
        timer.join()
        with open(self.path("pid")) as f:
            pid = int(f.read())
        with self.assertRaises(ProcessLookupError):
            os.kill(pid, 0)  # killed and reaped, not left running
        self.assert_no_leftovers()

    def test_success_without_a_dendrogram_is_a_failure(self):
        self.fake_program("exit 0")
        with self.assertRaises(brivane.BrivaneError):
            brivane.linkage(blobs())
        self.assert_no_leftovers()


class FindingThePrograms(PackageTest):
    def test_environment_then_beside_the_package(self):
        built = os.path.realpath(os.path.join(BIN_DIR, "brivane"))
        self.assertEqual(os.path.realpath(brivane.program()), built, "beside the package")
        os.environ["BRIVANE_BIN"] = BIN_DIR
        self.assertEqual(os.path.realpath(brivane.program("brivane-export")),
                         os.path.realpath(os.path.join(BIN_DIR, "brivane-export")))
        os.environ["BRIVANE_BIN"] = built
        self.assertEqual(os.path.realpath(brivane.program()), built)
        os.environ["BRIVANE_BIN"] = self.path("nowhere")
        with self.assertRaises(brivane.BrivaneError):
            brivane.program()


class Estimator(PackageTest):
    def test_flat_clusters_from_a_count_or_a_threshold(self):
        X = blobs()
        truth = [sorted(range(k * 8, k * 8 + 8)) for k in range(3)]
        for params in ({"n_clusters": 3}, {"distance_threshold": 5.0}):
            model = brivane.HierarchicalClustering(exact=True, **params).fit(X)
            self.assertEqual(model.n_clusters_, 3)
            groups = sorted(sorted(np.flatnonzero(model.labels_ == c)) for c in range(3))
            self.assertEqual(groups, truth)
            np.testing.assert_array_equal(model.fit_predict(X), model.labels_)
            self.assertEqual(model.linkage_matrix_.shape, (len(X) - 1, 4))

    def test_parameters_follow_scikit_learns_conventions(self):
        model = brivane.HierarchicalClustering(n_clusters=4, linkage="single")
        self.assertEqual(type(model)(**model.get_params()).get_params(), model.get_params())
        self.assertEqual(model.set_params(n_clusters=2, seed=5).get_params()["n_clusters"], 2)
        with self.assertRaises(ValueError):
            model.set_params(colour=1)
        for bad in (brivane.HierarchicalClustering(), brivane.HierarchicalClustering(2, 1.0)):
            with self.assertRaises(ValueError):
                bad.fit(blobs(2))
        self.assert_no_leftovers()


if __name__ == "__main__":
    unittest.main()

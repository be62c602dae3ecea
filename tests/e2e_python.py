"""The Python package over the real library and programs: the conversion of
trees and dendrogram files to SciPy's linkage (+inf joins, names, damaged
files), argument errors, failed runs, and for the runs that still go to the
program in a child process (the quality table) crashed and interrupted
runs and the removal of every temporary file, how the programs are found,
and the estimator."""
import contextlib
import io
import os
import signal
import subprocess
import tempfile
import sys
import threading
import time
import unittest
import warnings

import netCDF4
import numpy as np
import scipy.sparse
from scipy.cluster import hierarchy
from scipy.spatial.distance import pdist

import brivane
from e2e_common import BrivaneTest, run, write_nc
from e2e_export import brivane_layout, export, write_tree

BIN_DIR = os.environ.get("BRIVANE_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))


def blobs(per=8, seed=0):
    """Three well separated groups of `per` points in the plane."""
    rng = np.random.default_rng(seed)
    centres = np.array([[0, 0], [10, 0], [0, 10]])
    return np.vstack([c + rng.normal(scale=0.5, size=(per, 2)) for c in centres])


class FakeEngine:
    """A stand-in for the compiled engine (brivane._engine): records the
    arguments of each call and gives the tree Z with the report `report`."""

    def __init__(self, real, Z, report):
        self.RunFailed = real.RunFailed
        self.calls = []
        self._tree, self._report = brivane_layout(np.asarray(Z, dtype=float)), report

    def _give(self, options, echo):
        if echo is not None:
            echo(self._report)
        return dict(self._tree, report=self._report, summary="")

    def cluster_matrix(self, data, options, echo=None, bar=None):
        self.calls.append((data, options))
        return self._give(options, echo)

    def cluster_list(self, objects, rows, cols, values, options, echo=None, bar=None):
        self.calls.append(((objects, rows, cols, values), options))
        return self._give(options, echo)


class PackageTest(BrivaneTest):
    """Runs with tempfile's folder set to an empty scratch folder, so that a
    test sees every temporary file a call leaves behind."""

    def setUp(self):
        super().setUp()
        self.scratch = self.path("scratch")
        os.mkdir(self.scratch)
        self._tempdir, tempfile.tempdir = tempfile.tempdir, self.scratch
        self._bin = os.environ.pop("BRIVANE_BIN", None)
        self._engine = brivane._inprocess._engine

    def tearDown(self):
        brivane._inprocess._engine = self._engine
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

    def engine_giving(self, Z, report=""):
        """A stand-in for the library whose every run gives the tree Z and
        the report `report`; returns it, with the calls it saw."""
        brivane._inprocess._engine = FakeEngine(self._engine, Z, report)
        return brivane._inprocess._engine


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
                 ([0, 0, np.inf, np.inf], [0, 0, 1, 1]),
                 ([1e308, 1.5e308, np.inf, np.inf], [1e308, 1.5e308, sys.float_info.max, sys.float_info.max])]
        for heights, drawn in cases:
            Z = np.array([[0, 1, 0, 2], [5, 2, 0, 3], [6, 3, 0, 4], [7, 4, 0, 5]], dtype=float)
            Z[:, 2] = heights
            np.testing.assert_array_equal(brivane.finite(Z)[:, 2], drawn, err_msg=str(heights))
            self.assertTrue(np.isnan(Z[1, 2]) or heights[1] == Z[1, 2], "the input is left as it was")

    def test_numeric_rows_under_the_string_measures_compare_every_element(self):
        # A 0 element (False) is a value like any other, not the end of a row.
        rng = np.random.default_rng(4)
        cases = {"bool": rng.random((12, 9)) < 0.5, "int with zeros": rng.integers(0, 3, (12, 9)),
                 "float with zeros": rng.integers(-1, 2, (12, 9)) * 0.5}
        for kind, X in cases.items():
            counts = pdist(X, "hamming") * X.shape[1]
            for axis in (0, 1):
                Z = brivane.linkage(X if axis == 0 else X.T, "single", "hamming", exact=True, axis=axis)
                np.testing.assert_array_equal(np.sort(Z[:, 2]), np.sort(hierarchy.linkage(counts, "single")[:, 2]),
                                              err_msg="%s axis %d" % (kind, axis))
        Z = brivane.linkage(np.array([[1, 0, 2], [1, 0, 3], [0, 1, 2]]), "single", "levenshtein", exact=True)
        np.testing.assert_array_equal(Z[:, 2], [1, 2])

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


class Warnings(PackageTest):
    def test_warning_lines_become_python_warnings_and_leave_the_phases(self):
        self.engine_giving([[0, 1, 1.0, 2]], "Data input... WARNING! Something odd.\nPlain line\nWARNING! Second.\n")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = brivane.cluster(blobs(1)[:2])
        self.assertEqual([(w.category, str(w.message)) for w in caught],
                         [(brivane.BrivaneWarning, "WARNING! Something odd."), (brivane.BrivaneWarning, "WARNING! Second.")])
        self.assertEqual(caught[0].filename, __file__, "the warning points at the caller")
        self.assertEqual(result.phases, ["Data input...", "Plain line"])
        self.assertEqual(result.warnings, ["WARNING! Something odd.", "WARNING! Second."])
        self.assert_no_leftovers()

    def test_nan_heights_are_warned_whatever_the_program_said(self):
        # (tree, the warnings' texts must contain)
        cases = [([[0, 1, 1.0, 2], [2, 3, np.nan, 2], [4, 5, np.inf, 4]], ["1 merge at NaN height"]),
                 ([[0, 1, np.nan, 2], [3, 2, np.nan, 3]], ["2 merges at NaN height"]),
                 ([[0, 1, 1.0, 2], [3, 2, np.inf, 3]], [])]
        for Z, texts in cases:
            self.engine_giving(Z)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                brivane.linkage(blobs(1))
            self.assertEqual(len(caught), len(texts), Z)
            for w, text in zip(caught, texts):
                self.assertIs(w.category, brivane.BrivaneWarning)
                self.assertIn(text, str(w.message))

    def test_a_missing_value_is_warned_not_left_in_the_phases(self):
        X = blobs(3)
        X[0, 0] = np.nan
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = brivane.cluster(X, exact=True)
        texts = [str(w.message) for w in caught]
        self.assertTrue(any(t.startswith("WARNING! The data hold 1 missing values") for t in texts), texts)
        self.assertTrue(any("NaN height" in t for t in texts), texts)
        self.assertFalse([line for line in result.phases if "WARNING!" in line])


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
    def test_bad_arguments_are_refused_before_a_run_starts(self):
        X = blobs(3)
        cases = [({"method": "wards"}, ValueError), ({"metric": "sqeuclidean"}, ValueError),
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
        engine = self.engine_giving([[0, 1, 1.0, 2]])
        self.fake_program("exit 0")
        for kwargs, error in cases:
            kwargs = dict(kwargs)
            data = kwargs.pop("X", X)
            for quality in (False, True):
                with self.assertRaises(error, msg=str(kwargs)):
                    brivane.cluster(data, quality=quality, **kwargs)
                self.assertEqual(engine.calls, [], kwargs)
                self.assertFalse(os.path.exists(self.path("fake.log")), kwargs)
                self.assert_no_leftovers()

    def test_counts_and_switches_are_refused_naming_the_argument(self):
        # (arguments, error, a word of its message)
        cases = [({"axis": 1.0}, TypeError, "axis"), ({"axis": "0"}, TypeError, "axis"),
                 ({"exact": "no"}, TypeError, "exact"), ({"exact": 1}, TypeError, "exact"),
                 ({"verbose": "yes"}, TypeError, "verbose"), ({"quality": "no"}, TypeError, "quality"),
                 ({"num_distances": 1.5}, ValueError, "num_distances"),
                 ({"num_distances": True}, TypeError, "num_distances"),
                 ({"num_distances": float("inf")}, ValueError, "num_distances"),
                 ({"num_distances": float("nan")}, ValueError, "num_distances"),
                 ({"num_distances": "100"}, TypeError, "num_distances"),
                 ({"num_distances": 2 ** 63}, ValueError, "num_distances"),
                 ({"threads": 2.5}, ValueError, "threads"), ({"threads": np.float64(1e10)}, ValueError, "threads"),
                 ({"seed": False}, TypeError, "seed"), ({"pivots": 1e40}, ValueError, "pivots"),
                 ({"pivots": np.bool_(True)}, TypeError, "pivots"), ({"progress": 1}, TypeError, "progress")]
        engine = self.engine_giving([[0, 1, 1.0, 2]])
        for kwargs, error, word in cases:
            with self.assertRaises(error, msg=str(kwargs)) as caught:
                brivane.cluster(blobs(3), **kwargs)
            self.assertIn(word, str(caught.exception), kwargs)
            self.assertEqual(engine.calls, [], kwargs)
        for params, word in (({"n_clusters": 2.5}, "n_clusters"), ({"n_clusters": True}, "n_clusters")):
            with self.assertRaises((TypeError, ValueError), msg=str(params)) as caught:
                brivane.HierarchicalClustering(**params).fit(blobs(3))
            self.assertIn(word, str(caught.exception), params)
        self.assert_no_leftovers()

    def test_whole_numbers_of_any_numeric_type_are_counts(self):
        counts = {"num_distances": 3e9, "seed": 2.5e7, "threads": np.float32(2.0), "pivots": np.int64(3)}
        # (the library's option, the program's, the value both are given)
        given = [("num_distances", "-M", 3000000000), ("random_seed", "-R", 25000000), ("threads", "-j", 2),
                 ("num_pivots", "-q", 3)]
        engine = self.engine_giving([[0, 1, 1.0, 2]])
        brivane.linkage(blobs(3), **counts)
        self.fake_program("exit 1")
        with self.assertRaises(brivane.BrivaneError):
            brivane.cluster(blobs(3), quality=True, **counts)
        with open(self.path("fake.log")) as f:
            words = f.read().split()
        options = engine.calls[0][1]
        for key, option, value in given:
            self.assertEqual(type(options[key]), int, key)
            self.assertEqual(options[key], value, key)
            self.assertEqual(words[words.index(option) + 1], str(value), option)
        self.assert_no_leftovers()

    def test_a_failed_run_raises_with_the_error_line_and_status(self):
        with self.assertRaises(brivane.BrivaneError) as caught:
            brivane.linkage(blobs(), memory=1e-9)
        self.assertEqual(caught.exception.status, 1)
        self.assertEqual(caught.exception.message, "ERROR! Insufficient memory to hold all input data"
                                                   " This run needs -m 0.01 or more (gigabytes).")
        self.assert_no_leftovers()

    # The quality table is the program's: such a call runs it in a child
    # process, on a temporary input file.

    def test_a_crash_leaves_the_interpreter_and_no_files(self):
        self.fake_program('cp "$2" %s; kill -SEGV $$' % self.path("seen.nc"))
        with self.assertRaises(brivane.BrivaneError) as caught:
            brivane.cluster(blobs(), quality=True)
        self.assertEqual(caught.exception.status, -11)
        self.assertIn("SIGSEGV", caught.exception.message)
        self.assertTrue(os.path.exists(self.path("seen.nc")), "the program was given an input file")
        self.assert_no_leftovers()

    def test_an_interrupt_ends_the_run_and_removes_its_files(self):
        self.fake_program("echo $$ > %s; exec sleep 60" % self.path("pid"))
        timer = threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        with self.assertRaises(KeyboardInterrupt):
            brivane.cluster(blobs(), quality=True)
        timer.join()
        with open(self.path("pid")) as f:
            pid = int(f.read())
        with self.assertRaises(ProcessLookupError):
            os.kill(pid, 0)  # killed and reaped, not left running
        self.assert_no_leftovers()

    def test_a_terminating_signal_ends_the_run_and_removes_its_files(self):
        for signum in (signal.SIGTERM, signal.SIGHUP):
            self.fake_program("echo $$ > %s; exec sleep 60" % self.path("pid"))
            env = dict(os.environ, TMPDIR=self.scratch, PYTHONPATH=os.pathsep.join(sys.path))
            caller = subprocess.Popen([sys.executable, "-c", "import numpy, brivane; brivane.cluster(numpy.eye(3), quality=True)"],
                                      env=env, stderr=subprocess.PIPE)
            pid = None
            try:
                while pid is None and caller.poll() is None:
                    try:
                        with open(self.path("pid")) as f:
                            pid = int(f.read())
                    except (OSError, ValueError):
                        time.sleep(0.05)
                self.assertIsNotNone(pid, "the program was started")
                caller.send_signal(signum)
                caller.communicate()
                self.assertEqual(caller.returncode, -signum, "the caller ends by the signal")
                with self.assertRaises(ProcessLookupError, msg="the program was ended with its caller"):
                    os.kill(pid, 0)
                self.assert_no_leftovers()
            finally:
                if caller.poll() is None:
                    caller.kill()
                    caller.wait()
                if pid is not None:
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(pid, signal.SIGKILL)
                os.unlink(self.path("pid"))
                for name in os.listdir(self.scratch):
                    subprocess.run(["rm", "-rf", os.path.join(self.scratch, name)], check=True)

    def test_success_without_a_dendrogram_is_a_failure(self):
        self.fake_program("exit 0")
        with self.assertRaises(brivane.BrivaneError):
            brivane.cluster(blobs(), quality=True)
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

    def test_a_count_gives_the_lowest_cut_with_at_most_that_many_clusters(self):
        # (objects, n_clusters, clusters): SciPy's maxclust gives 2 and 13.
        for X, k, clusters in [(np.array([[0.0], [1.0]]), 1, 1), (np.arange(15.0)[:, None] ** 1.5, 15, 15),
                               (np.arange(15.0)[:, None] ** 1.5, 14, 14), (np.arange(15.0)[:, None] ** 1.5, 99, 15)]:
            model = brivane.HierarchicalClustering(n_clusters=k, exact=True).fit(X)
            self.assertEqual(model.n_clusters_, clusters, (len(X), k))
            self.assertEqual(sorted(set(model.labels_)), list(range(clusters)), (len(X), k))

    def test_cuts_are_brivane_exports_on_trees_with_nan_and_infinite_merges(self):
        trees = {
            "NaN between the finite merges and +inf": [[0, 1, 1.0, 2], [2, 3, np.nan, 2], [4, 5, np.inf, 4]],
            "NaN low in the tree": [[0, 1, np.nan, 2], [2, 3, 1.0, 2], [4, 5, 2.0, 4]],
            "non-monotone with NaN and ties": [[0, 1, 1.0, 2], [2, 5, 3.0, 3], [6, 3, 2.0, 4], [4, 7, np.nan, 5],
                                               [8, 9, 1.0, 2], [10, 11, np.inf, 7]],
            "ties at zero": [[0, 1, 0.0, 2], [2, 3, 0.0, 2], [4, 5, 0.0, 4], [6, 7, 1.0, 5]],
        }
        for name, Z in trees.items():
            self.engine_giving(Z)
            n = len(Z) + 1
            tree = write_tree(self.path("given-tree.nc"), np.asarray(Z, dtype=float))
            cuts = [("-k", k, {"n_clusters": k}) for k in range(1, n + 2)]
            cuts += [("-H", h, {"distance_threshold": h}) for h in (-1.0, 0.0, 0.5, 1.0, 2.0, 2.5, 3.0, 1e300)]
            for option, value, params in cuts:
                status, text, err = export(["clusters", "-t", tree, option, value, "-o", "-"])
                self.assertEqual(status, 0, err)
                want = [int(line.split("\t")[1]) - 1 for line in text.splitlines()]
                with warnings.catch_warnings(record=True):
                    warnings.simplefilter("always")
                    model = brivane.HierarchicalClustering(**params).fit(blobs(1)[:n])
                self.assertEqual(list(model.labels_), want, (name, option, value))
                self.assertEqual(model.n_clusters_, max(want) + 1, (name, option, value))

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

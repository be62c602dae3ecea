"""The Python package's runs in the interpreter's own process: the library
is given the caller's array itself, the same trees as the program's for
every input kind, the GIL released during a run, Ctrl-C, the report, the
warnings, the progress bar and the errors."""
import contextlib
import io
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings

import numpy as np
import scipy.sparse

import brivane
from e2e_common import BrivaneTest, run, write_nc


def data(n=200, m=6, seed=0, dtype=np.float64):
    return np.random.default_rng(seed).normal(size=(n, m)).astype(dtype)


class Spy:
    """Wraps the compiled engine and keeps the arrays each run was given."""

    def __init__(self, engine):
        self._engine, self.RunFailed, self.given = engine, engine.RunFailed, []

    def cluster_matrix(self, matrix, *args):
        self.given.append(matrix)
        return self._engine.cluster_matrix(matrix, *args)

    def cluster_list(self, *args):
        self.given.append(args[:4])
        return self._engine.cluster_list(*args)


class InProcessTest(BrivaneTest):
    def setUp(self):
        super().setUp()
        self._engine = brivane._inprocess._engine

    def tearDown(self):
        brivane._inprocess._engine = self._engine
        super().tearDown()

    def spy(self):
        brivane._inprocess._engine = Spy(self._engine)
        return brivane._inprocess._engine


def python(code, **popen):
    """A child interpreter running `code` with this one's module path."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), **popen.pop("env", {}))
    return subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, **popen)


class NoCopy(InProcessTest):
    def test_the_library_reads_the_callers_array_where_its_type_allows(self):
        X = data(60, 5)
        memmap = np.lib.format.open_memmap(self.path("x.npy"), "w+", np.float32, X.shape)
        memmap[...] = X
        memmap.flush()
        del memmap
        # (input, read in place)
        cases = {"float32": (X.astype(np.float32), True), "float64": (X, True),
                 "int32": ((X * 100).astype(np.int32), True), "int8": ((X * 20).astype(np.int8), True),
                 "read-only memory map": (np.load(self.path("x.npy"), mmap_mode="r"), True),
                 "Fortran order": (np.asfortranarray(X), False), "big-endian": (X.astype(">f8"), False),
                 "int16": ((X * 100).astype(np.int16), False), "a row slice": (X[::2], False)}
        for name, (given, in_place) in cases.items():
            spy = self.spy()
            Z = brivane.linkage(given, num_distances=500, seed=3)
            self.assertEqual(np.shares_memory(spy.given[0], given), in_place, name)
            brivane._inprocess._engine = self._engine
            as_converted = np.ascontiguousarray(given, dtype=spy.given[0].dtype.newbyteorder("="))
            np.testing.assert_array_equal(Z, brivane.linkage(as_converted, num_distances=500, seed=3), name)

    def test_a_run_on_a_large_array_holds_no_copy_of_it(self):
        # 80 MB of input; the run's own arrays for 8000 objects and 160,000
        # distances are a small part of that.  Peak RSS in a fresh
        # interpreter, after a first run has set up what stays (the OpenMP
        # threads, the allocator's arenas).
        child = python("import resource, numpy as np, brivane\n"
                       "X = np.random.default_rng(1).standard_normal(size=(8000, 2500), dtype=np.float32)\n"
                       "brivane.linkage(X[:100], num_distances=2000, seed=1, threads=2)\n"
                       "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
                       "brivane.linkage(X, num_distances=160000, seed=1, threads=2, memory=1)\n"
                       "print(X.nbytes // 1024, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)\n")
        out, err = child.communicate(timeout=300)
        self.assertEqual(child.returncode, 0, err)
        input_kb, growth_kb = map(int, out.split())
        self.assertLess(growth_kb, input_kb / 4, "peak RSS grew by %d kB over an input of %d kB" % (growth_kb, input_kb))


class SameTreesAsTheProgram(InProcessTest):
    """quality=True runs the program on the same input: its tree is the
    program's, the other runs' the library's."""

    def test_every_input_kind(self):
        X = data(40, 4, seed=5)
        D = scipy.sparse.random(40, 40, density=0.2, random_state=np.random.RandomState(2), format="csr")
        cases = {"rows": (X, {}), "columns": (X.T.copy(), {"axis": 1}),
                 "float32 minkowski": (X.astype(np.float32), {"metric": "minkowski", "p": 3}),
                 "int8 cityblock": ((X * 20).astype(np.int8), {"metric": "cityblock"}),
                 "condensed distances": (scipy.spatial.distance.pdist(X), {"metric": "precomputed"}),
                 "sparse distances": (D, {"metric": "precomputed"}),
                 "no given distances": (scipy.sparse.csr_matrix((5, 5)), {"metric": "precomputed"}),
                 "strings": (["kitten", "sitting", "mitten", "fitting", "bitten"], {"metric": "levenshtein"}),
                 "the least count": (X, {"num_distances": 0}), "exact": (X, {"exact": True}),
                 "missing values": (np.where(X > 1.5, np.nan, X), {"metric": "pearson"})}
        for name, (given, kwargs) in cases.items():
            # The order of the joins at +inf is drawn from the seed too.
            kwargs = dict({"seed": 9}, **kwargs)
            if not kwargs.get("exact") and kwargs.get("metric") != "precomputed":
                kwargs = dict({"num_distances": 200}, **kwargs)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", brivane.BrivaneWarning)
                library = brivane.cluster(given, "average", **kwargs)
                program = brivane.cluster(given, "average", quality=True, **kwargs)
            np.testing.assert_array_equal(library.linkage, program.linkage, name)
            self.assertEqual(library.warnings, [w for w in program.warnings], name)


class Threads(InProcessTest):
    def test_other_python_threads_run_while_a_run_works(self):
        ticks, running = [], threading.Event()

        def ticker():
            running.wait()
            while running.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.005)

        thread = threading.Thread(target=ticker)
        thread.start()
        X = data(5000, 20)
        running.set()
        start = time.monotonic()
        brivane.linkage(X, time=1.0, seed=1)
        end = time.monotonic()
        running.clear()
        thread.join()
        # With the GIL held through the run the ticker would stand still
        # between its first and last moments.
        inside = [t for t in ticks if start + 0.2 < t < end - 0.2]
        self.assertGreater(len(inside), 10, "%d ticks during a run of %.1f s" % (len(inside), end - start))

    def test_a_second_run_works_while_a_first_one_does_and_both_give_their_trees(self):
        long, short = data(5000, 20, seed=1), data(300, 8, seed=2)
        alone = [brivane.linkage(long, num_distances=10**6, seed=4), brivane.linkage(short, exact=True)]
        started, done, results = [], [], [None, None]

        class Bar:
            # Builtins only: calling them runs no Python code, so the first
            # run lets the interpreter switch threads only where it releases
            # the GIL itself.
            begin, update, end = started.append, max, time.monotonic

            def close(self):
                pass

        def first():
            results[0] = brivane.linkage(long, num_distances=10**6, seed=4, progress=True)
            done.append("first")

        bar, brivane._inprocess._Bar = brivane._inprocess._Bar, Bar
        tqdm, brivane._inprocess.tqdm = brivane._inprocess.tqdm, object()
        try:
            thread = threading.Thread(target=first)
            thread.start()
            while not started:
                time.sleep(0.001)
            results[1] = brivane.linkage(short, exact=True)
            done.append("second")
            thread.join()
        finally:
            brivane._inprocess._Bar, brivane._inprocess.tqdm = bar, tqdm
        self.assertEqual(done, ["second", "first"], "the second run ended while the first worked")
        for k in (0, 1):
            np.testing.assert_array_equal(results[k], alone[k])


class Interrupts(InProcessTest):
    def test_ctrl_c_stops_a_run_with_keyboard_interrupt_and_the_interpreter_goes_on(self):
        scratch = self.path("scratch")
        os.mkdir(scratch)
        # A silent run: no callback runs Python code, so only the sink's
        # stop() can notice the interrupt.
        child = python("import sys, time, numpy as np, brivane\n"
                       "X = np.random.default_rng(1).normal(size=(100000, 20))\n"
                       "print('start', flush=True)\n"
                       "try:\n"
                       "    brivane.linkage(X, time=120)\n"
                       "except KeyboardInterrupt:\n"
                       "    print('interrupted', time.monotonic())\n"
                       "print(brivane.linkage(X[:50], exact=True).shape)\n",
                       env={"TMPDIR": scratch})
        try:
            self.assertEqual(child.stdout.readline(), "start\n")
            time.sleep(1.0)  # well into the run
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=60)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
        self.assertEqual(child.returncode, 0, err)
        words = out.split()
        self.assertEqual(words[0], "interrupted", out)
        self.assertLess(float(words[1]) - sent, 5.0, "the run went on after Ctrl-C")
        self.assertEqual(out.splitlines()[1], "(49, 4)", "a run after the interrupt")
        self.assertEqual(os.listdir(scratch), [])

    def test_a_progress_bar_that_fails_stops_the_run_with_its_exception(self):
        class Failing(brivane._inprocess._Bar):
            def begin(self, text):
                raise ValueError("the bar broke")

        brivane._inprocess._engine = self._engine
        bar, brivane._inprocess._Bar = brivane._inprocess._Bar, Failing
        tqdm, brivane._inprocess.tqdm = brivane._inprocess.tqdm, object()
        try:
            with self.assertRaisesRegex(ValueError, "the bar broke"):
                brivane.linkage(data(5000, 20), time=1.0, progress=True)
        finally:
            brivane._inprocess._Bar, brivane._inprocess.tqdm = bar, tqdm


class Report(InProcessTest):
    def test_the_report_warnings_and_summary_come_back_with_the_tree(self):
        X = data(100, 4)
        X[0, 0] = np.nan
        # (arguments, a phase line, the warning's opening or None, a summary line)
        cases = [({"exact": True}, "Running hierarchical clustering", "WARNING! The data hold 1 missing values", False),
                 ({"num_distances": 2000, "seed": 5}, "Random seed from user = 5",
                  "WARNING! The data hold 1 missing values", True),
                 ({"num_distances": 2000, "seed": 5, "metric": "precomputed"}, "Running hierarchical clustering",
                  None, False)]
        for kwargs, phase, warning, summary in cases:
            given = scipy.spatial.distance.pdist(data(100, 4)) if kwargs.get("metric") else X
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                result = brivane.cluster(given, **kwargs)
            self.assertTrue(any(line.startswith(phase) for line in result.phases), (kwargs, result.phases))
            self.assertFalse([line for line in result.phases if "WARNING!" in line], kwargs)
            issued = [str(w.message) for w in caught if "NaN height" not in str(w.message)]
            self.assertEqual(issued, result.warnings, kwargs)
            self.assertEqual([w.split(",")[0][:len(warning)] for w in issued], [warning] if warning else [], kwargs)
            self.assertEqual(result.summary is not None, summary, (kwargs, result.summary))

    def test_progress_draws_a_bar_or_the_reports_lines(self):
        X = data(5000, 20)
        for with_tqdm in (True, False):
            shown = io.StringIO()
            tqdm = brivane._inprocess.tqdm
            if not with_tqdm:
                brivane._inprocess.tqdm = None
            try:
                with contextlib.redirect_stderr(shown), warnings.catch_warnings():
                    warnings.simplefilter("ignore", brivane.BrivaneWarning)
                    result = brivane.cluster(X, time=1.0, seed=2, progress=True)
            finally:
                brivane._inprocess.tqdm = tqdm
            if with_tqdm:
                self.assertIn("%|", shown.getvalue())
            else:
                lines = shown.getvalue().splitlines()
                self.assertEqual(brivane._run.split_warnings(lines), (result.phases, result.warnings))


class Errors(InProcessTest):
    def test_a_failed_run_raises_the_programs_error_line_and_status(self):
        X = data(30, 3)
        write_nc(self.path("in.nc"), [("data", ("rows", "cols"), X, "f8")])
        # (arguments of the call, the program's words for the same run)
        cases = [({"memory": 1e-9}, ["-m", "1e-09"]),
                 ({"method": "ward", "metric": "cityblock"}, ["-l", "ward", "-d", "manhattan"]),
                 ({"method": "centroid", "metric": "chebyshev"}, ["-l", "centroid", "-d", "maxdiff"]),
                 ({"num_distances": 100, "threads": 100000}, ["-M", "100", "-j", "100000"])]
        for kwargs, words in cases:
            with self.assertRaises(brivane.BrivaneError, msg=str(kwargs)) as caught:
                brivane.linkage(X, **kwargs)
            words = ["-i", self.path("in.nc"), "-D", "data", "-o", self.path("out.nc")] + words
            if "-d" not in words:
                words += ["-d", "euclidean"]
            program = run(words)
            lines = [line[line.index("ERROR!"):] for line in program.stderr.splitlines() if "ERROR!" in line]
            self.assertEqual(caught.exception.status, program.status, kwargs)
            self.assertTrue(caught.exception.message.startswith(lines[0]), (caught.exception.message, lines))


if __name__ == "__main__":
    unittest.main()

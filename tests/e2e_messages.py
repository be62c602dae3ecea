"""brivane's messages where a fault used to be silent or misplaced: the
version option's bad argument, memory refusals of distance lists, netCDF
errors while writing, the quality file's joint cost and the listing of
usable distance lists."""
import os
import resource
import signal
import unittest

import numpy as np

from e2e_common import BrivaneTest, run, write_nc

DISTLIST_LISTING = ("The input file contains the following list of usable distance lists, i.e. "
                    "vectors of type ncInt, ncFloat or ncDouble:\n")


def distance_list(test, entries, objects):
    rng = np.random.default_rng(3)
    return write_nc(test.path("in.nc"), [("d", ("m",), rng.random(entries), "f8"),
                                         ("f", ("m",), rng.integers(0, objects, entries).astype(np.int32), "i4"),
                                         ("t", ("m",), rng.integers(0, objects, entries).astype(np.int32), "i4")],
                    dims=[("objects", objects)])


class CommandLine(BrivaneTest):
    def test_a_bad_version_argument_shows_the_option_librarys_message(self):
        for words in (["-vx"], ["--version=zzz"], ["-v", "x"]):
            with self.subTest(words=words):
                r = run(words)
                self.assertEqual(r.status, 1, r)
                self.assertIn("version option argument", r.stderr)
                self.assertIn("'v' - version only", r.stderr)


class DistanceLists(BrivaneTest):
    def test_a_budget_too_small_for_the_given_distances_names_the_memory_that_would_do(self):
        # 1000 entries take 16,000 bytes of input and 250,000 of distances in
        # the store, 66,000 in the compact engine (which takes a list that
        # the store cannot hold).
        src = distance_list(self, 1000, 50)
        for memory, engine in (("0.0001", "store"), ("0.00005", "auto")):
            with self.subTest(engine=engine):
                r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distlist", "-D", "d", "-F", "f",
                         "-T", "t", "-N", "objects", "-m", memory, "-E", engine])
                self.assertEqual(r.status, 1, r)
                self.assertIn("ERROR! Insufficient memory to store all given distances\n"
                              "This run needs -m 0.01 or more (gigabytes).\n", r.stderr)
                self.assertNotIn("Too many distances", r.stderr)
                self.assertFalse(os.path.exists(self.path("out.nc")))

    def test_the_listing_of_usable_lists_names_the_start_and_end_vectors_too(self):
        src = distance_list(self, 4, 3)
        r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distlist", "-D", "missing", "-F", "f",
                 "-T", "t", "-N", "objects"])
        self.assertEqual(r.status, 1, r)
        self.assertIn("ERROR! The specified variable was not found in the input file!\n" + DISTLIST_LISTING +
                      " d : ncDouble d(m=4)\n f : ncInt f(m=4)\n t : ncInt t(m=4)\n", r.stderr)


class Writing(BrivaneTest):
    def test_a_netcdf_error_while_writing_goes_to_standard_error_after_the_error_line(self):
        # The file size limit stops the write half way; the library's text
        # names the cause.
        rng = np.random.default_rng(2)
        src = write_nc(self.path("in.nc"), [("x", ("obj", "feat"), rng.random((3000, 2)), "f8")])
        with open(self.path("out.nc"), "w") as f:
            f.write("earlier result")

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))

        r = run(["-i", src, "-o", self.path("out.nc"), "-d", "euclidean", "-M", "60000", "-R", "1"],
                preexec_fn=small_files)
        self.assertEqual(r.status, 1, r)
        self.assertIn("ERROR! Error writing output file %s\n" % self.path("out.nc"), r.stderr)
        self.assertIn("File too large", r.stderr.split("ERROR! Error writing output file")[1])
        self.assertNotIn("File too large", r.stdout)
        with open(self.path("out.nc")) as f:
            self.assertEqual(f.read(), "earlier result")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["in.nc", "out.nc"])

    def test_the_joint_cost_is_nan_when_no_merge_had_a_measured_pair(self):
        src = write_nc(self.path("in.nc"), [("d", ("m",), np.zeros(0), "f8"), ("f", ("m",), np.zeros(0, np.int32), "i4"),
                                            ("t", ("m",), np.zeros(0, np.int32), "i4")],
                       dims=[("m", 0), ("objects", 4)])
        r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distlist", "-D", "d", "-F", "f", "-T", "t",
                 "-N", "objects", "-Y", self.path("q.txt")])
        self.assertEqual(r.status, 0, r)
        with open(self.path("q.txt")) as f:
            text = f.read()
        self.assertIn("# joint cost\tnan\n", text)
        self.assertIn("# merges without a known pair\t3\n", text)


if __name__ == "__main__":
    unittest.main()

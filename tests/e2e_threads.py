"""End-to-end runs with different thread counts: the output file, the
quality file and the join's summary line must be the same for every -j."""
import unittest

import numpy as np

from e2e_common import BrivaneTest, run, write_nc


class SameOutputForAnyThreadCount(BrivaneTest):
    def setUp(self):
        super().setUp()
        rng = np.random.default_rng(21)
        centres = rng.normal(0, 4, (6, 20))
        data = centres[rng.integers(0, 6, 3000)] + rng.normal(0, 1, (3000, 20))
        self.big = write_nc(self.path("big.nc"), [("x", ("obj", "feat"), data, "f8")])
        self.small = write_nc(self.path("small.nc"),
                              [("x", ("obj", "feat"), data[:700].astype(np.float32), "f4")])

    def outputs(self, src, options, threads):
        out, quality = self.path("out-%d.nc" % threads), self.path("quality-%d.txt" % threads)
        r = run(["-i", src, "-o", out, "-R", "5", "-j", threads, "-Y", quality] + options)
        self.assertEqual(r.status, 0, r)
        with open(out, "rb") as f:
            tree = f.read()
        with open(quality) as f:
            # the options line names the files and the thread count
            lines = [line for line in f if not line.startswith("# options")]
        return tree, lines, r.stdout

    def test_one_and_three_threads_write_the_same_files(self):
        cases = [
            # join in many small leaves, random pairs over several batches
            (self.big, ["-M", "200000", "-d", "euclidean", "-S", "100"]),
            # quantile pivots, a correlation measure, the default leaves
            (self.big, ["-M", "150000", "-d", "pearson", "-P", "quantile", "-q", "8"]),
            # only heuristic pairs
            (self.big, ["-M", "40000", "-d", "manhattan", "-p", "1"]),
            # all pairs, more than one batch of them
            (self.small, ["-a", "-d", "euclidean", "-l", "min"]),
        ]
        for src, options in cases:
            with self.subTest(options=" ".join(options)):
                one = self.outputs(src, options, 1)
                three = self.outputs(src, options, 3)
                self.assertEqual(one[0], three[0], "output files differ")
                self.assertEqual(one[1], three[1], "quality files differ")
                self.assertEqual(one[2], three[2], "join summary lines differ")

    def test_all_pairs_are_the_same_for_one_and_three_threads(self):
        rng = np.random.default_rng(8)
        odd = rng.normal(0, 1, (301, 7))
        gaps = odd.copy()
        gaps[rng.random(gaps.shape) < 0.1] = np.nan
        files = {
            "odd": write_nc(self.path("odd.nc"), [("x", ("obj", "feat"), odd, "f8")]),
            "cols": write_nc(self.path("cols.nc"), [("x", ("feat", "obj"), odd.T.copy(), "f8")]),
            "gaps": write_nc(self.path("gaps.nc"), [("x", ("obj", "feat"), gaps, "f8")]),
        }
        cases = [
            # an odd number of objects, and their columns
            ("odd", ["-a", "-d", "manhattan", "-l", "max"]),
            ("cols", ["-a", "-C", "cols", "-d", "euclidean"]),
            # missing values that propagate, and pairs left without a distance
            ("gaps", ["-a", "-d", "euclidean"]),
            ("gaps", ["-a", "-d", "euclidean", "-U", "pairwise"]),
        ]
        for name, options in cases:
            with self.subTest(options=" ".join(options)):
                one = self.outputs(files[name], options, 1)
                three = self.outputs(files[name], options, 3)
                self.assertEqual(one[0], three[0], "output files differ")
                self.assertEqual(one[1], three[1], "quality files differ")


if __name__ == "__main__":
    unittest.main()

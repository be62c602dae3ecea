"""End-to-end tests of the compact engine (-E compact): its output files
equal the distance store's on distances without ties; -E auto takes it
where the store cannot hold the count a run asks for (a data matrix with
-M, a distance list), and the store everywhere else; the lines that name the
engine, and what a budget too small for it says."""
import re
import unittest

import numpy as np

from e2e_common import BrivaneTest, run, write_nc

COMPACT_LINE = "Clustering engine: compact (the known pairs in a graph of clusters)\n"


def need_line(gigabytes):
    return "This run needs -m %.2f or more (gigabytes).\n" % gigabytes


class CompactCase(BrivaneTest):
    def setUp(self):
        super().setUp()
        # 2000 objects: 100000 pairs take 0.023 GB in the store, 0.006 GB compact.
        self.x = np.random.default_rng(2).uniform(size=(2000, 3))
        self.src = write_nc(self.path("x.nc"), [("x", ("obj", "feat"), self.x, "f8")])

    def cluster(self, *extra, out="out.nc"):
        return run(["-i", self.src, "-o", self.path(out), "-d", "euclidean", "-R", "4"] + [str(e) for e in extra])

    def output(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()


class ChoiceTest(CompactCase):
    def test_auto_takes_the_store_where_it_holds_the_count_and_compact_where_not(self):
        for memory, compact in ((2, False), (0.02, True)):
            with self.subTest(memory=memory):
                r = self.cluster("-M", 100000, "-m", memory, "-j", 2, out="auto.nc")
                self.assertEqual(r.status, 0, r)
                self.assertEqual(COMPACT_LINE in r.stderr, compact, r)
                self.assertIn("Values of 100000 distances were calculated", r.stderr)
                engine = "compact" if compact else "store"
                forced = self.cluster("-M", 100000, "-E", engine, "-j", 1, out=engine + ".nc")
                self.assertEqual(forced.status, 0, forced)
                self.assertEqual(self.output("auto.nc"), self.output(engine + ".nc"))

    def test_both_engines_write_the_same_file_on_distances_without_ties(self):
        for linkage in ("min", "ave", "max", "weighted"):
            with self.subTest(linkage=linkage):
                for engine in ("store", "compact"):
                    r = self.cluster("-M", 45000, "-l", linkage, "-E", engine, out=engine + ".nc")
                    self.assertEqual(r.status, 0, r)
                self.assertEqual(self.output("store.nc"), self.output("compact.nc"))

    def test_a_distance_list_too_large_for_the_store_goes_to_the_compact_engine(self):
        rng = np.random.default_rng(3)
        n, entries = 3000, 120000
        i, j = rng.integers(0, n, entries), rng.integers(0, n, entries)
        src = write_nc(self.path("list.nc"), [("from", ("entry",), i.astype(np.int32), "i4"),
                                              ("to", ("entry",), j.astype(np.int32), "i4"),
                                              ("dist", ("entry",), rng.uniform(size=entries), "f8")],
                       dims=[("objects", n)])
        given = ["-i", src, "-o", self.path("l.nc"), "-C", "distlist", "-N", "objects", "-F", "from", "-T", "to",
                 "-D", "dist", "-m", 0.02]
        r = run(given)
        self.assertEqual(r.status, 0, r)
        self.assertIn(COMPACT_LINE, r.stderr)
        r = run(given + ["-E", "store"])
        self.assertEqual(r.status, 1, r)
        self.assertIn("ERROR! Insufficient memory to store all given distances\n", r.stderr)

    def test_a_time_budget_run_takes_the_engine_whose_plan_holds_more(self):
        # A budget of time that allows far more pairs than memory: 0.01 GB
        # holds 42949 pairs in the store (less than 20 per object, 40000
        # would need 0.0093 GB), 185000 in the compact engine.
        cases = ((0.01, True), (0.02, True), (2, False))
        for memory, compact in cases:
            with self.subTest(memory=memory):
                r = self.cluster("-t", 1000, "-m", memory)
                self.assertEqual(r.status, 0, r)
                self.assertEqual(COMPACT_LINE in r.stderr, compact, r)
                count = int(re.search(r"Values of (\d+) distances were calculated", r.stderr).group(1))
                if compact:
                    self.assertGreater(count, int(memory * 2**30 / 250), r)

    def test_the_engine_line_names_the_engine_that_clusters(self):
        cases = [(["-E", "store"], "Clustering engine: store\nRunning"),
                 (["-E", "compact"], COMPACT_LINE + "Running"),
                 (["-E", "dense"], "WARNING! --engine dense has no effect: the dense engine needs every pair")]
        for extra, line in cases:
            with self.subTest(extra=extra):
                r = self.cluster("-M", 50000, *extra)
                self.assertEqual(r.status, 0, r)
                self.assertIn(line, r.stderr)
        r = self.cluster("-M", 50000)
        self.assertNotIn("Clustering engine", r.stderr)


class BudgetTest(CompactCase):
    def assertRefused(self, r, message):
        self.assertEqual(r.status, 1, r)
        self.assertTrue(r.stderr.endswith(message), r)
        self.assertNotIn("Running hierarchical clustering", r.stderr)

    def test_a_budget_too_small_names_what_the_compact_engine_needs(self):
        # 100000 pairs at 58 bytes and 2000 objects at 160, beside the input.
        self.assertRefused(self.cluster("-M", 100000, "-m", 0.001, "-E", "compact"),
                           "ERROR! Insufficient memory to calculate enough distances\n" + need_line(0.01))
        # Every pair of 2000 objects, 1999000 of them: 0.11 GB.
        self.assertRefused(self.cluster("-a", "-m", 0.05, "-E", "compact"),
                           "ERROR! Insufficient memory to calculate all pairwise distances!\n" + need_line(0.11))

    def test_every_pair_in_the_compact_engine_is_the_stores_tree(self):
        small = write_nc(self.path("s.nc"), [("x", ("obj", "feat"), self.x[:300], "f8")])
        for engine in ("store", "compact"):
            r = run(["-i", small, "-o", self.path(engine + ".nc"), "-d", "euclidean", "-a", "-E", engine])
            self.assertEqual(r.status, 0, r)
        self.assertEqual(self.output("store.nc"), self.output("compact.nc"))


class CentroidLinkageTest(CompactCase):
    def test_auto_takes_the_compact_engine_for_them_without_every_pair(self):
        # The store would hold these counts; it cannot work out the merges.
        for linkage in ("ward", "centroid", "median"):
            for extra in (["-M", 30000], ["-t", 2]):
                with self.subTest(linkage=linkage, extra=extra):
                    r = self.cluster("-l", linkage, *extra)
                    self.assertEqual(r.status, 0, r)
                    self.assertIn(COMPACT_LINE, r.stderr)
        # Every pair of a data matrix stays with the exact engines.
        r = self.cluster("-l", "ward", "-a")
        self.assertEqual(r.status, 0, r)
        self.assertIn("Clustering engine: dense", r.stderr)

    def test_a_count_gives_the_same_file_for_every_thread_count(self):
        for linkage in ("ward", "median"):
            with self.subTest(linkage=linkage):
                for threads in (1, 2):
                    r = self.cluster("-l", linkage, "-M", 30000, "-j", threads, out="j%d.nc" % threads)
                    self.assertEqual(r.status, 0, r)
                self.assertEqual(self.output("j1.nc"), self.output("j2.nc"))

    def test_runs_without_centroids_or_without_the_compact_engine_are_refused(self):
        matrix = write_nc(self.path("m.nc"), [("d", ("a", "b"), np.ones((20, 20)), "f8")])
        cases = [(["-i", matrix, "-C", "distmat", "-l", "ward", "-E", "compact"],
                  "ERROR! The compact engine (-E compact) clusters by Ward linkage from the clusters' centroids, "
                  "which a distance matrix does not have; use -E dense or -E auto.\n"),
                 (["-i", self.src, "-d", "euclidean", "-l", "centroid", "-M", 30000, "-E", "store"],
                  "ERROR! The distance store (-E store) does not cluster by Centroid linkage: its merge values are "
                  "worked out from the clusters' sizes and centroids, which the store does not keep. Use -E auto "
                  "(or -E compact, or with -a -E dense).\n"),
                 (["-i", self.src, "-d", "chord", "-l", "median", "-M", 30000],
                  "ERROR! Median linkage needs euclidean distances")]
        for args, message in cases:
            with self.subTest(args=args):
                r = run(args + ["-o", self.path("out.nc")])
                self.assertEqual(r.status, 1, r)
                self.assertIn(message, r.stderr)
                self.assertNotIn("Running hierarchical clustering", r.stderr)


if __name__ == "__main__":
    unittest.main()

"""End-to-end tests of clustering given distances (-C distmat, -C distlist):
the dendrogram file checked against scipy's exact hierarchical clustering,
the permuted data copy, and the safety of an earlier output file."""
import os
import resource
import signal
import unittest

import numpy as np
from scipy.cluster.hierarchy import linkage
from scipy.spatial.distance import squareform

from e2e_common import BrivaneTest, read_nc, run, write_nc

METHODS = {"min": "single", "ave": "average", "max": "complete"}


def random_matrix(n, seed):
    rng = np.random.default_rng(seed)
    d = rng.uniform(0.0, 10.0, size=(n, n))
    d = np.triu(d, 1)
    return d + d.T


def exact_merges(d, method):
    """(objects, height) of every merge of an exact clustering, in merge order."""
    z = linkage(squareform(d, checks=False), method=METHODS[method])
    n = len(d)
    members = [{i} for i in range(n)]
    merges = []
    for a, b, height, _ in z:
        joined = members[int(a)] | members[int(b)]
        members.append(joined)
        merges.append((joined, height))
    return merges


def output_merges(out, n, prefix=""):
    """(objects, height) of every merge in a dendrogram file, in node order,
    after checking that its seven arrays agree with each other."""
    left, right = out[prefix + "left"], out[prefix + "right"]
    start, end = out[prefix + "start"], out[prefix + "end"]
    old2new, new2old = out[prefix + "old2new"], out[prefix + "new2old"]
    distance = out[prefix + "distance"]
    assert sorted(new2old[:n]) == list(range(n))
    assert all(old2new[new2old[p]] == p for p in range(n))
    assert list(left[:n]) == [-1] * n and list(right[:n]) == [-1] * n
    assert list(start[:n]) == list(range(n)) and list(end[:n]) == list(range(n))
    assert list(old2new[n:]) == [-1] * (n - 1) and list(new2old[n:]) == [-1] * (n - 1)
    assert all(distance[:n] == 0)
    merges = []
    for node in range(n, 2 * n - 1):
        # A leaf child is given by its position, an internal one by its node.
        span = lambda c: (c, c) if c < n else (start[c], end[c])
        (ls, le), (rs, re) = span(left[node]), span(right[node])
        assert ls == start[node] and le + 1 == rs and re == end[node], node
        assert le - ls >= re - rs, "the larger cluster is on the left"
        merges.append((set(new2old[start[node]:end[node] + 1]), distance[node]))
    return merges


class DistanceMatrixTest(BrivaneTest):
    def cluster_matrix(self, d, method, extra=()):
        write_nc(self.path("in.nc"), [("dist", ("objs", "objs2"), d, "f8")])
        r = run(["-i", self.path("in.nc"), "-o", self.path("out.nc"), "-C", "distmat",
                 "-l", method] + list(extra))
        self.assertEqual(r.status, 0, r)
        return read_nc(self.path("out.nc"))

    def test_all_pairs_give_exact_linkage(self):
        for method in METHODS:
            for seed in (1, 2, 3):
                with self.subTest(method=method, seed=seed):
                    d = random_matrix(12 + seed, seed)
                    out = self.cluster_matrix(d, method)
                    got = output_merges(out, len(d))
                    want = exact_merges(d, method)
                    self.assertEqual([m for m, _ in got], [m for m, _ in want])
                    np.testing.assert_allclose([h for _, h in got], [h for _, h in want],
                                               rtol=1e-12)

    def test_file_layout_without_data_copy(self):
        out = self.cluster_matrix(random_matrix(5, 9), "ave")
        self.assertEqual(out["__dims__"], {"nodes": 9})
        self.assertEqual(out["__order__"], ["left", "right", "start", "end", "old2new",
                                            "new2old", "distance"])

    def test_prefix_names_the_dendrogram(self):
        out = self.cluster_matrix(random_matrix(4, 4), "min", ["-X", "tree_"])
        self.assertEqual(out["__dims__"], {"tree_nodes": 7})
        self.assertIn("tree_distance", out)

    def test_three_objects_average(self):
        d = np.array([[0, 4, 5], [4, 0, 1], [5, 1, 0]], dtype=float)
        out = self.cluster_matrix(d, "ave")
        self.assertEqual(list(out["left"]), [-1, -1, -1, 0, 3])
        self.assertEqual(list(out["right"]), [-1, -1, -1, 1, 2])
        self.assertEqual(list(out["start"]), [0, 1, 2, 0, 0])
        self.assertEqual(list(out["end"]), [0, 1, 2, 1, 2])
        self.assertEqual(list(out["old2new"]), [2, 0, 1, -1, -1])
        self.assertEqual(list(out["new2old"]), [1, 2, 0, -1, -1])
        self.assertEqual(list(out["distance"]), [0, 0, 0, 1, 4.5])

    def test_output_data_permutes_the_clustered_dimension(self):
        d = random_matrix(6, 5)
        labels = np.arange(6, dtype=np.int32) * 10
        write_nc(self.path("in.nc"), [("dist", ("objs", "objs2"), d, "f8"),
                                      ("label", ("objs",), labels, "i4"),
                                      ("other", ("k",), np.array([1.5, 2.5]), "f4")])
        r = run(["-i", self.path("in.nc"), "-o", self.path("out.nc"), "-C", "distmat",
                 "-D", "dist", "-O"])
        self.assertEqual(r.status, 0, r)
        self.assertIn("Permuting dist\n", r.stderr)
        self.assertIn("Permuting label\n", r.stderr)
        self.assertNotIn("Permuting other", r.stderr)
        out = read_nc(self.path("out.nc"))
        order = out["new2old"][:6]
        np.testing.assert_array_equal(out["dist"], d[order, :])
        np.testing.assert_array_equal(out["label"], labels[order])
        np.testing.assert_array_equal(out["other"], [1.5, 2.5])

    def test_matrix_over_one_dimension_twice_is_permuted_along_both(self):
        d = random_matrix(6, 8)
        write_nc(self.path("in.nc"), [("dist", ("objs", "objs"), d, "f8")])
        r = run(["-i", self.path("in.nc"), "-o", self.path("out.nc"), "-C", "distmat", "-O"])
        self.assertEqual(r.status, 0, r)
        out = read_nc(self.path("out.nc"))
        order = out["new2old"][:6]
        np.testing.assert_array_equal(out["dist"], d[np.ix_(order, order)])


class DistanceListTest(BrivaneTest):
    def cluster_list(self, n, pairs, method="ave", seed=1, extra=()):
        pairs = list(pairs)
        write_nc(self.path("in.nc"),
                 [("from", ("m",), np.array([p[0] for p in pairs], np.int32), "i4"),
                  ("to", ("m",), np.array([p[1] for p in pairs], np.int32), "i4"),
                  ("d", ("m",), np.array([p[2] for p in pairs], float), "f8")],
                 dims=[("objects", n)])
        r = run(["-i", self.path("in.nc"), "-o", self.path("out.nc"), "-C", "distlist",
                 "-N", "objects", "-F", "from", "-T", "to", "-D", "d", "-l", method,
                 "-R", seed] + list(extra))
        return r

    def test_weighted_linkage_over_known_pairs(self):
        # {0,1} at 1; to 2 both halves are known: (4 + 6) / 2; to 3 as well,
        # (10 + 8) / 2, and {0,1,2} then meets 3 at (9 + 20) / 2, where the
        # average of the three pairs would be 38 / 3.  Only 2 knows 4: its
        # distance carries over to every cluster 2 joins.
        pairs = [(0, 1, 1.0), (0, 2, 4.0), (1, 2, 6.0), (0, 3, 10.0), (1, 3, 8.0), (2, 3, 20.0), (2, 4, 30.0)]
        r = self.cluster_list(5, pairs, method="weighted")
        self.assertEqual(r.status, 0, r)
        merges = output_merges(read_nc(self.path("out.nc")), 5)
        self.assertEqual([(sorted(m), h) for m, h in merges],
                         [([0, 1], 1.0), ([0, 1, 2], 5.0), ([0, 1, 2, 3], 14.5), ([0, 1, 2, 3, 4], 30.0)])

    def test_full_list_in_any_order_gives_exact_linkage(self):
        rng = np.random.default_rng(4)
        n = 11
        d = random_matrix(n, 4)
        pairs = [(i, j, d[i, j]) if rng.random() < 0.5 else (j, i, d[i, j])
                 for i in range(n) for j in range(i + 1, n)]
        rng.shuffle(pairs)
        for method in METHODS:
            with self.subTest(method=method):
                r = self.cluster_list(n, pairs, method)
                self.assertEqual(r.status, 0, r)
                got = output_merges(read_nc(self.path("out.nc")), n)
                want = exact_merges(d, method)
                self.assertEqual([m for m, _ in got], [m for m, _ in want])
                np.testing.assert_allclose([h for _, h in got], [h for _, h in want],
                                           rtol=1e-12)

    def test_disconnected_groups_join_once_at_infinity(self):
        d = random_matrix(8, 6)
        pairs = [(i, j, d[i, j]) for g in (range(0, 4), range(4, 8)) for i in g for j in g
                 if i < j]
        r = self.cluster_list(8, pairs)
        self.assertEqual(r.status, 0, r)
        got = output_merges(read_nc(self.path("out.nc")), 8)
        heights = [h for _, h in got]
        self.assertTrue(np.all(np.isfinite(heights[:-1])))
        self.assertEqual(heights[-1], np.inf)
        self.assertEqual(got[-2][0] | got[-3][0], set(range(8)))

    def test_no_known_pair_joins_everything_at_infinity(self):
        r = self.cluster_list(5, [(1, 1, 0.5)])
        self.assertEqual(r.status, 0, r)
        out = read_nc(self.path("out.nc"))
        self.assertTrue(np.all(np.isinf(out["distance"][5:])))
        output_merges(out, 5)

    def test_same_seed_same_random_joins(self):
        outputs = []
        for _ in range(2):
            r = self.cluster_list(7, [(0, 1, 1.0), (2, 3, 2.0)], seed=42)
            self.assertEqual(r.status, 0, r)
            outputs.append(read_nc(self.path("out.nc")))
        for name in ("left", "right", "new2old"):
            np.testing.assert_array_equal(outputs[0][name], outputs[1][name])

    def test_first_entry_of_a_repeated_pair_wins(self):
        r = self.cluster_list(3, [(0, 1, 0.5), (1, 0, 9.0), (0, 2, 3.0), (1, 2, 4.0)], "max")
        self.assertEqual(r.status, 0, r)
        out = read_nc(self.path("out.nc"))
        self.assertEqual(list(out["distance"][3:]), [0.5, 4.0])

    def test_object_indices_are_copied_unchanged(self):
        r = self.cluster_list(4, [(0, 3, 1.0), (1, 2, 2.0), (0, 1, 5.0)], extra=["-O"])
        self.assertEqual(r.status, 0, r)
        out = read_nc(self.path("out.nc"))
        self.assertEqual(list(out["from"]), [0, 1, 0])
        self.assertEqual(list(out["to"]), [3, 2, 1])
        self.assertEqual(list(out["d"]), [1.0, 2.0, 5.0])


class OutputSafetyTest(BrivaneTest):
    def test_failed_write_keeps_the_earlier_file(self):
        # The file size limit stops the copy of the distances half way.
        write_nc(self.path("in.nc"),
                 [("from", ("m",), np.zeros(20000, np.int32), "i4"),
                  ("to", ("m",), np.ones(20000, np.int32), "i4"),
                  ("dist", ("m",), np.full(20000, 0.5), "f8")], dims=[("objects", 2)])
        with open(self.path("out.nc"), "w") as f:
            f.write("earlier result")

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))

        r = run(["-i", self.path("in.nc"), "-o", self.path("out.nc"), "-C", "distlist",
                 "-N", "objects", "-F", "from", "-T", "to", "-D", "dist", "-O"], preexec_fn=small_files)
        self.assertEqual(r.status, 1, r)
        self.assertIn("ERROR! Error writing output file " + self.path("out.nc"), r.stderr)
        with open(self.path("out.nc")) as f:
            self.assertEqual(f.read(), "earlier result")
        self.assertEqual(sorted(os.listdir(self.tmp)), ["in.nc", "out.nc"])

    def test_missing_folder_is_reported(self):
        write_nc(self.path("in.nc"), [("dist", ("objs", "objs2"), random_matrix(3, 1), "f8")])
        target = self.path("missing/out.nc")
        r = run(["-i", self.path("in.nc"), "-o", target, "-C", "distmat"])
        self.assertEqual(r.status, 1, r)
        self.assertIn("ERROR! Error writing output file " + target + ": No such file or directory\n", r.stderr)


if __name__ == "__main__":
    unittest.main()

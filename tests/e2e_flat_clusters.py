"""brivane-export clusters against SciPy's fcluster: exact trees written by
brivane -a, cut by count (maxclust) and by height (distance), compared
object by object including the cluster numbers, which both take from the
leaf order."""
import unittest

import numpy as np
from scipy.cluster import hierarchy

from e2e_common import BrivaneTest, run, write_nc
from e2e_export import export, labels_var, write_tree


def clusters_of(path):
    """The clusters file as (labels, numbers)."""
    with open(path) as f:
        rows = [line.rstrip("\n").split("\t") for line in f]
    return [r[0] for r in rows], np.array([int(r[1]) for r in rows])


def lowest_cut(Z, k):
    """fcluster's maxclust by its definition: the distance cut at the lowest
    height r that leaves at most k clusters.  (SciPy's own search never tries
    the lowest merge height nor anything below it, so for k >= n - 1 it
    returns fewer clusters than it could; brivane-export does not copy that.)"""
    n = len(Z) + 1
    heights = np.sort(hierarchy.maxdists(Z))
    r = heights[n - k - 1] if k < n else -np.inf
    return hierarchy.fcluster(Z, r, "distance")


class FlatClusters(BrivaneTest):
    def exact_tree(self, x, linkage):
        write_nc(self.path("in.nc"), [("x", ("obj", "feat"), x, "f8")])
        r = run(["-i", self.path("in.nc"), "-o", self.path("tree.nc"), "-d", "euclidean", "-a", "-l", linkage,
                 "-R", 1])
        self.assertEqual(r.status, 0, r)
        return self.path("tree.nc")

    def linkage_of(self, tree):
        """The tree as SciPy reads it, children in the file's order."""
        status, _, err = export(["linkage", "-t", tree, "-o", self.path("z.txt")])
        self.assertEqual(status, 0, err)
        return np.loadtxt(self.path("z.txt"), ndmin=2)

    def cut(self, tree, *words):
        status, _, err = export(["clusters", "-t", tree, "-o", self.path("c.tsv")] + [str(w) for w in words])
        self.assertEqual(status, 0, err)
        return clusters_of(self.path("c.tsv"))[1], err

    def test_cuts_by_count_and_height_match_fcluster_on_exact_trees(self):
        rng = np.random.default_rng(8)
        data = {
            "spread": rng.normal(0, 1, (16, 3)),
            "ties": rng.integers(0, 3, (16, 2)).astype(float),   # equal distances and zero merges
        }
        for name, x in data.items():
            for linkage in ("min", "ave", "max"):
                tree = self.exact_tree(x, linkage)
                Z = self.linkage_of(tree)
                n = len(Z) + 1
                for k in range(1, n + 2):
                    got, _ = self.cut(tree, "-k", k)
                    np.testing.assert_array_equal(got, lowest_cut(Z, k), "%s %s -k %d" % (name, linkage, k))
                    if k <= n - 2:
                        want = hierarchy.fcluster(Z, k, "maxclust")
                        np.testing.assert_array_equal(got, want, "%s %s -k %d" % (name, linkage, k))
                heights = np.unique(Z[:, 2])
                cuts = np.concatenate([heights, (heights[1:] + heights[:-1]) / 2, [heights[0] - 1, heights[-1] + 1]])
                for h in cuts:
                    got, _ = self.cut(tree, "-H", repr(float(h)))
                    want = hierarchy.fcluster(Z, h, "distance")
                    np.testing.assert_array_equal(got, want, "%s %s -H %r" % (name, linkage, h))

    def test_non_monotone_tree_is_cut_at_the_highest_merge_below(self):
        # Node 7 joins object 3 to node 6 below node 6's own height.
        Z = np.array([[0, 1, 1.0, 2], [2, 5, 3.0, 3], [6, 3, 2.0, 4], [7, 4, 5.0, 5]])
        tree = write_tree(self.path("t.nc"), Z)
        Zf = self.linkage_of(tree)
        for h in (0.5, 1.0, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0):
            got, _ = self.cut(tree, "-H", h)
            np.testing.assert_array_equal(got, hierarchy.fcluster(Zf, h, "distance"), "-H %g" % h)

    def test_joins_at_infinity_are_inside_no_cluster_at_a_finite_height(self):
        Z = np.array([[0, 1, 1.0, 2], [2, 3, 2.0, 2], [4, 5, np.inf, 4]])
        tree = write_tree(self.path("t.nc"), Z)
        for h in (2.0, 1e308):
            got, _ = self.cut(tree, "-H", h)
            self.assertEqual(len(set(got)), 2, h)
        got, _ = self.cut(tree, "-H", "inf")
        self.assertEqual(set(got), {1})
        got, err = self.cut(tree, "-k", 1)
        self.assertEqual(set(got), {1})
        self.assertIn("WARNING! At most 1 clusters takes joins at +infinity or NaN", err)
        got, err = self.cut(tree, "-k", 2)
        self.assertEqual(len(set(got)), 2)
        self.assertEqual(err, "")

    def test_nan_merge_is_inside_no_cluster_cut_at_a_height(self):
        Z = np.array([[0, 1, np.nan, 2], [2, 3, 1.0, 2], [4, 5, 2.0, 4]])
        tree = write_tree(self.path("t.nc"), Z)
        got, _ = self.cut(tree, "-H", 10)
        self.assertEqual(len(set(got)), 3, "objects 0 and 1 apart, the rest together")
        got, err = self.cut(tree, "-k", 3)
        self.assertEqual(len(set(got)), 3)
        self.assertEqual(err, "")

    def test_nan_merges_rank_above_every_finite_height_and_below_infinity(self):
        # Objects 0 and 1 merge at 1, 2 and 3 at NaN, and the two pairs join at +inf.
        Z = np.array([[0, 1, 1.0, 2], [2, 3, np.nan, 2], [4, 5, np.inf, 4]])
        tree = write_tree(self.path("t.nc"), Z)
        # (cut, clusters as sets of objects, whether the cut warns)
        cases = [(("-k", 3), [{0, 1}, {2}, {3}], False),
                 (("-k", 2), [{0, 1}, {2, 3}], True),
                 (("-k", 1), [{0, 1, 2, 3}], True),
                 (("-H", 1e308), [{0, 1}, {2}, {3}], False),
                 (("-H", "inf"), [{0, 1, 2, 3}], False)]
        for words, want, warns in cases:
            got, err = self.cut(tree, *words)
            groups = sorted(sorted(np.flatnonzero(got == c)) for c in set(got))
            self.assertEqual(groups, sorted(sorted(g) for g in want), words)
            self.assertEqual("WARNING!" in err, warns, words)

    def test_lines_name_the_objects_from_the_input_or_the_tree_copy(self):
        x = np.array([[0.0], [10.0], [0.5], [10.5]])
        names = ["alpha", "beta", "gamma", "delta"]
        write_nc(self.path("in.nc"), [("x", ("row", "feat"), x, "f8"), labels_var(names)])
        out = self.path("tree.nc")
        r = run(["-i", self.path("in.nc"), "-D", "x", "-o", out, "-d", "euclidean", "-a", "-O", "-R", 1])
        self.assertEqual(r.status, 0, r)
        for source in ([], ["-i", self.path("in.nc")]):
            status, _, err = export(["clusters", "-t", out, "-k", 2, "-L", "names", "-o", self.path("c.tsv")] + source)
            self.assertEqual(status, 0, err)
            labels, numbers = clusters_of(self.path("c.tsv"))
            self.assertEqual(labels, names, source)
            self.assertEqual(numbers[0], numbers[2], source)
            self.assertEqual(numbers[1], numbers[3], source)
            self.assertNotEqual(numbers[0], numbers[1], source)
        status, text, _ = export(["clusters", "-t", out, "-H", 100, "-o", "-"])
        self.assertEqual((status, text), (0, "0\t1\n1\t1\n2\t1\n3\t1\n"))

    def test_a_count_may_be_written_as_a_number_that_is_exactly_whole(self):
        tree = write_tree(self.path("t.nc"), np.array([[0, 1, 1.0, 2], [2, 3, 2.0, 2], [4, 5, 3.0, 4]]))
        for word, clusters in (("1e0", 1), ("2.0", 2), ("0.3e1", 3), ("1e3", 4), ("+2", 2)):
            got, err = self.cut(tree, "-k", word)
            self.assertEqual(len(set(got)), clusters, word)

    def test_bad_cuts_are_refused(self):
        tree = write_tree(self.path("t.nc"), np.array([[0, 1, 1.0, 2]]))
        cases = [
            (["clusters"], "ERROR! clusters needs exactly one of -k K and -H HEIGHT"),
            (["clusters", "-k", 2, "-H", 1], "ERROR! clusters needs exactly one of -k K and -H HEIGHT"),
            (["clusters", "-k", 0], "ERROR! -k takes a whole number of clusters from 1 on, not '0'"),
            (["clusters", "-k", "2x"], "ERROR! -k takes a whole number of clusters from 1 on, not '2x'"),
            (["clusters", "-k", "1.5"], "ERROR! -k takes a whole number of clusters from 1 on, not '1.5'"),
            (["clusters", "-k", "1e400"], "ERROR! -k takes a whole number of clusters from 1 on, not '1e400'"),
            (["clusters", "-k", "3e9"], "ERROR! -k takes a whole number of clusters from 1 on, not '3e9'"),
            (["clusters", "-H", "nan"], "ERROR! -H for clusters takes a height (a number), not 'nan'"),
            (["clusters", "-H", "high"], "ERROR! -H for clusters takes a height (a number), not 'high'"),
            (["clusters", "-H", ""], "ERROR! -H for clusters takes a height (a number), not an empty word"),
            (["clusters", "-k", ""], "ERROR! -k takes a whole number of clusters from 1 on, not an empty word"),
            (["clusters", "-k", "", "-H", 1], "ERROR! clusters needs exactly one of -k K and -H HEIGHT"),
            (["linkage", "-k", ""], "ERROR! -k is for the clusters format only"),
            (["linkage", "-k", 2], "ERROR! -k is for the clusters format only"),
        ]
        for words, message in cases:
            status, _, err = export(words + ["-t", tree, "-o", self.path("c.tsv")])
            self.assertEqual(status, 1, words)
            self.assertEqual(err.splitlines()[0], message, words)


if __name__ == "__main__":
    unittest.main()

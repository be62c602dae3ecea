"""End-to-end runs on data matrices that use the similarity heuristics:
pivots, epsilon estimation and the epsilon-grid-order join."""
import re
import unittest

import numpy as np

from e2e_common import BrivaneTest, read_nc, run, write_nc


def gaussian_groups(n_per_group, centres, spread, seed):
    rng = np.random.default_rng(seed)
    rows, labels = [], []
    for g, centre in enumerate(centres):
        rows.append(centre + rng.normal(0.0, spread, (n_per_group, len(centre))))
        labels += [g] * n_per_group
    data = np.vstack(rows)
    perm = rng.permutation(len(labels))
    return data[perm], np.asarray(labels)[perm]


def cut(tree, prefix, k):
    """The k clusters left when the last k-1 merges are undone, as sets of
    object indices."""
    left, right = tree[prefix + "left"], tree[prefix + "right"]
    start, end = tree[prefix + "start"], tree[prefix + "end"]
    new2old = tree[prefix + "new2old"]
    n = (len(left) + 1) // 2
    top = set(range(2 * n - 1 - (k - 1), 2 * n - 1))
    clusters = []
    for node in sorted(top):
        for child in (left[node], right[node]):
            if child in top:
                continue
            # an internal child is named by its node number, a leaf child by
            # its position in the leaf order
            if child >= n:
                lo, hi = start[child], end[child]
            else:
                lo = hi = child
            clusters.append(frozenset(int(new2old[p]) for p in range(lo, hi + 1)))
    return clusters


class DefaultRun(BrivaneTest):
    def test_default_run_prints_every_phase_in_order_and_writes_a_tree(self):
        data, _ = gaussian_groups(250, np.eye(4, 6) * 10, 1.0, seed=3)
        src = write_nc(self.path("in.nc"), [("x", ("obj", "feat"), data, "f8")])
        # -m holds fewer than all pairs: a budget that fits them all computes
        # them all, without the heuristics this test follows.
        r = run(["-i", src, "-o", self.path("out.nc"), "-d", "euclidean", "-t", "0.5", "-m", "0.01", "-R", "11"])
        self.assertEqual(r.status, 0, r)
        # The time budget's plan needs the pivots before the store is sized.
        phases = [r"^Data input\.\.\. \S+ sec$",
                  r"^Random seed from user = 11$",
                  r"^Choosing pivots for similarity heuristics\.\.\.$",
                  r"^  pivot 1 - \d+ \(randomly\)$",
                  r"^  pivot 20 - \d+ \(randomly\)$",
                  r"^Choosing pivots took \S+ sec$",
                  r"^dist_size=\d+$",
                  r"^Estimating epsilon for similarity heuristics\.\.\.$",
                  r"^threshold_loc=\d+  sample_size=1000$",
                  r"^  Estimated epsilon is \S+$",
                  r"^Plan: join \S+ s, random pairs \S+ s, clustering \S+ s, output \S+ s "
                  r"\(time budget 0\.5 s\)$",
                  r"^Calculating distances\.\.\.$",
                  r"^  Calculating similarity heuristics based pairs\.\.\. \S+ sec$",
                  r"^    \d+ distances calculated$",
                  r"^  Calculating random pairs\.\.\. \S+ sec$",
                  r"^Distance calculation took \S+ sec$",
                  r"^  Values of \d+ distances were calculated$",
                  r"^Running hierarchical clustering\.\.\. \S+ sec$",
                  r"^Program running time was \S+ sec$"]
        lines = r.stderr.splitlines()
        at = 0
        for pattern in phases:
            while at < len(lines) and not re.match(pattern, lines[at]):
                at += 1
            self.assertLess(at, len(lines), "missing or out of order: %s\n%s" % (pattern, r.stderr))
        self.assertRegex(r.stdout, r"^neg_res1 = \d+  neg_res2 = \d+\n$")
        tree = read_nc(self.path("out.nc"))
        self.assertEqual(tree["__dims__"], {"row_nodes": 1999})
        self.assertEqual(sorted(tree["row_new2old"][:1000]), list(range(1000)))

    def test_fixed_seed_and_count_give_identical_files(self):
        data, _ = gaussian_groups(100, np.eye(3, 5) * 6, 1.0, seed=5)
        src = write_nc(self.path("in.nc"), [("x", ("obj", "feat"), data, "f4")])
        outputs = []
        for name in ("a.nc", "b.nc"):
            r = run(["-i", src, "-o", self.path(name), "-d", "manhattan", "-M", "9000", "-R", "42",
                     "-P", "quantile"])
            self.assertEqual(r.status, 0, r)
            outputs.append(open(self.path(name), "rb").read())
        self.assertEqual(outputs[0], outputs[1])


class GroupRecovery(BrivaneTest):
    def test_two_percent_of_pairs_recover_well_separated_groups(self):
        centres = np.array([[0] * 8, [12] + [0] * 7, [0, 12] + [0] * 6, [0, 0, 12] + [0] * 5], float)
        data, labels = gaussian_groups(750, centres, 1.0, seed=8)
        n = len(labels)
        count = int(0.02 * n * (n - 1) / 2)
        src = write_nc(self.path("in.nc"), [("x", ("obj", "feat"), data, "f8")])
        r = run(["-i", src, "-o", self.path("out.nc"), "-d", "euclidean", "-M", count, "-R", "2"])
        self.assertEqual(r.status, 0, r)
        clusters = cut(read_nc(self.path("out.nc")), "row_", 4)
        truth = [frozenset(np.flatnonzero(labels == g).tolist()) for g in range(4)]
        self.assertEqual(sorted(map(sorted, clusters)), sorted(map(sorted, truth)))


class WhereTheJoinFindsNothing(BrivaneTest):
    """Inputs on which the join finds no pairs: the count is still filled."""

    def heuristic_pairs(self, stderr):
        return int(re.search(r"^    (\d+) distances calculated$", stderr, re.M).group(1))

    def test_a_skipped_join_leaves_its_share_to_random_pairs(self):
        # Equal rows make epsilon 0; -s 1 gave the whole count to the join.
        src = write_nc(self.path("in.nc"), [("x", ("obj", "feat"), np.ones((50, 3)), "f8")])
        for share in ("1", "0.5", "2"):
            with self.subTest(share=share):
                r = run(["-i", src, "-o", self.path("out.nc"), "-d", "euclidean", "-M", "1000",
                         "-s", share, "-R", "4"])
                self.assertEqual(r.status, 0, r)
                self.assertIn("random pairs take their place", r.stderr)
                self.assertIn("  Values of 1000 distances were calculated", r.stderr)
                self.assertTrue(np.all(read_nc(self.path("out.nc"))["row_distance"][50:] == 0))

    def test_a_join_that_runs_keeps_the_whole_count_at_share_one(self):
        data, _ = gaussian_groups(60, np.eye(2, 4) * 8, 1.0, seed=6)
        src = write_nc(self.path("in.nc"), [("x", ("obj", "feat"), data, "f8")])
        r = run(["-i", src, "-o", self.path("out.nc"), "-d", "euclidean", "-M", "3000", "-s", "1",
                 "-R", "4"])
        self.assertEqual(r.status, 0, r)
        self.assertNotIn("Calculating random pairs", r.stderr)

    def test_objects_with_nan_elements_are_never_pivots(self):
        # 120 objects, 5 with a NaN element: a NaN pivot made every bound NaN
        # and the join found nothing for a third of the seeds.
        data, _ = gaussian_groups(40, np.eye(3, 4) * 8, 1.0, seed=9)
        data[[3, 30, 57, 88, 119], 1] = np.nan
        src = write_nc(self.path("in.nc"), [("x", ("obj", "feat"), data, "f8")])
        for strategy in ("random", "quantile"):
            for seed in range(1, 13):
                with self.subTest(strategy=strategy, seed=seed):
                    r = run(["-i", src, "-o", self.path("out.nc"), "-d", "euclidean", "-M", "1500",
                             "-q", "3", "-P", strategy, "-R", seed])
                    self.assertEqual(r.status, 0, r)
                    pivots = [int(p) - 1 for p in re.findall(r"^  pivot \d+ - (\d+)", r.stderr, re.M)]
                    self.assertEqual(len(pivots), 3)
                    self.assertFalse({3, 30, 57, 88, 119} & set(pivots), pivots)
                    self.assertIn("  5 objects with a NaN or infinite value were passed over as pivots",
                                  r.stderr)
                    self.assertGreater(self.heuristic_pairs(r.stderr), 0)


if __name__ == "__main__":
    unittest.main()

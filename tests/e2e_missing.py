"""Missing values end to end: tables with empty cells imported by
brivane-import and clustered with -U pairwise, against SciPy's linkage of the
pairwise-complete distances computed here (R's dist convention for the
Euclidean distance, correlations over the shared positions)."""
import os
import subprocess
import unittest

import numpy as np
from scipy.cluster import hierarchy
from scipy.spatial.distance import squareform

from e2e_common import BrivaneTest, read_nc, run, write_nc

IMPORT = os.path.join(os.environ.get("BRIVANE_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "build")),
                      "brivane-import")


def table_with_twins(rng):
    """12 genes x 10 samples; genes 8-11 are near copies of genes 0-3 with
    empty cells at the start, the end, in the middle and in several places."""
    x = rng.normal(0, 3, (12, 10))
    x[8:12] = x[0:4] + rng.normal(0, 0.05, (4, 10))
    x[8, 0] = np.nan
    x[9, 9] = np.nan
    x[10, 4] = np.nan
    x[11, [1, 5, 6]] = np.nan
    return x


def write_table(path, x):
    with open(path, "w") as f:
        f.write("gene\t" + "\t".join("s%d" % j for j in range(x.shape[1])) + "\n")
        for i, row in enumerate(x):
            cells = ["" if np.isnan(v) else "%.6f" % v for v in row]
            if i == 11:
                cells[5] = "NA"
            f.write("g%d\t" % i + "\t".join(cells) + "\n")


def pairwise_reference(x, measure):
    """The condensed distance matrix over shared positions."""
    n, c = x.shape
    d = np.zeros((n, n))
    for i in range(n):
        for j in range(i + 1, n):
            used = ~np.isnan(x[i]) & ~np.isnan(x[j])
            a, b = x[i, used], x[j, used]
            if measure == "euclidean":
                d[i, j] = np.sqrt(np.sum((a - b) ** 2) * c / used.sum())
            else:
                d[i, j] = 1 - np.corrcoef(a, b)[0, 1]
            d[j, i] = d[i, j]
    return squareform(d, checks=False)


def leaf_pairs(out):
    """The pairs of objects that one merge joins directly, and the heights."""
    t = read_nc(out)
    n = (t["__dims__"]["row_nodes"] + 1) // 2
    new2old = t["row_new2old"]
    pairs = set()
    for node in range(n, 2 * n - 1):
        a, b = t["row_left"][node], t["row_right"][node]
        if a < n and b < n:
            pairs.add(frozenset((int(new2old[a]), int(new2old[b]))))
    return pairs, t["row_distance"][n:]


class PairwiseRuns(BrivaneTest):
    def setUp(self):
        super().setUp()
        self.x = table_with_twins(np.random.default_rng(4))
        write_table(self.path("genes.tsv"), self.x)
        proc = subprocess.run([IMPORT, self.path("genes.tsv"), self.path("genes.nc")], capture_output=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        # The imported values are floats: the reference works on those.
        self.values = read_nc(self.path("genes.nc"))["data"].astype(np.float64)
        self.assertEqual(int(np.isnan(self.values).sum()), 6)

    def cluster(self, *words):
        out = self.path("tree.nc")
        r = run(["-i", self.path("genes.nc"), "-D", "data", "-o", out, "-R", 5] + list(words))
        self.assertEqual(r.status, 0, r)
        return r, out

    def test_each_gene_with_missing_cells_sits_beside_its_complete_twin(self):
        for measure in ("euclidean", "pearson"):
            for mode in (["-a"], ["-M", 60]):
                r, out = self.cluster("-d", measure, "-U", "pairwise", *mode)
                pairs, heights = leaf_pairs(out)
                for g in range(4):
                    self.assertIn(frozenset((g, g + 8)), pairs, (measure, mode, r.stderr))
                self.assertIn("6 missing values in 4 objects are skipped pair by pair", r.stderr)
                self.assertTrue(np.all(np.isfinite(heights)), (measure, mode))

    def test_exact_tree_matches_scipy_on_the_pairwise_distances(self):
        for measure in ("euclidean", "pearson"):
            for linkage, method in (("min", "single"), ("ave", "average"), ("max", "complete")):
                _, out = self.cluster("-d", measure, "-U", "pairwise", "-a", "-l", linkage)
                _, heights = leaf_pairs(out)
                Z = hierarchy.linkage(pairwise_reference(self.values, measure), method)
                np.testing.assert_allclose(np.sort(heights), np.sort(Z[:, 2]), rtol=1e-9, atol=1e-12,
                                           err_msg="%s %s" % (measure, linkage))

    def test_by_default_missing_cells_propagate_with_a_warning(self):
        r, out = self.cluster("-d", "euclidean", "-a")
        self.assertIn("WARNING! The data hold 6 missing values (NaN); each makes every distance of its object NaN, "
                      "and pairs at NaN distance merge after all others, before the joins at +inf. "
                      "Use -U pairwise to skip missing values pair by pair.", r.stderr)
        _, heights = leaf_pairs(out)
        self.assertTrue(np.any(np.isnan(heights)))
        with open(out, "rb") as f:
            default = f.read()
        r, out = self.cluster("-d", "euclidean", "-a", "-U", "propagate")
        self.assertNotIn("WARNING!", r.stderr)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), default, "-U propagate is the default")

    def test_quality_pass_uses_the_pairwise_measure(self):
        quality = self.path("q.tsv")
        self.cluster("-d", "euclidean", "-U", "pairwise", "-a", "-l", "min", "-Y", quality)
        with open(quality) as f:
            rows = [line.split("\t") for line in f if line[0].isdigit()]
        self.assertEqual(len(rows), 11)
        for row in rows:
            # Exact single linkage: each merge is at the least distance across.
            self.assertEqual(float(row[3]), float(row[4]), row)


class PairsWithoutDistance(BrivaneTest):
    def test_objects_sharing_nothing_join_at_infinity_and_the_run_ends(self):
        x = np.arange(24, dtype=np.float64).reshape(8, 3) % 5
        x[2, :] = np.nan            # no values at all
        x[5, 1:] = np.nan           # one value: a distance for euclidean only
        write_nc(self.path("in.nc"), [("x", ("obj", "feat"), x, "f8")])
        for measure, infinite in (("euclidean", 1), ("pearson", 2)):
            out = self.path("out.nc")
            # More distances asked for than there are pairs with one.
            r = run(["-i", self.path("in.nc"), "-o", out, "-d", measure, "-U", "pairwise", "-M", 28, "-R", 3])
            self.assertEqual(r.status, 0, r)
            pairs_without = 7 if infinite == 1 else 13
            self.assertIn("  %d pairs have no distance (their objects share too few values) and were left out"
                          % pairs_without, r.stderr)
            _, heights = leaf_pairs(out)
            self.assertEqual(int(np.sum(np.isinf(heights))), infinite, measure)
            self.assertFalse(np.any(np.isnan(heights)), measure)

    def test_the_option_has_no_effect_on_int_data(self):
        x = np.arange(30, dtype=np.int32).reshape(10, 3) % 7
        write_nc(self.path("in.nc"), [("x", ("obj", "feat"), x, "i4")])
        outputs = []
        for extra in ([], ["-U", "pairwise"]):
            out = self.path("out%d.nc" % len(outputs))
            r = run(["-i", self.path("in.nc"), "-o", out, "-d", "euclidean", "-a", "-R", 1] + extra)
            self.assertEqual(r.status, 0, r)
            self.assertEqual("no effect on int data" in r.stderr, bool(extra))
            with open(out, "rb") as f:
                outputs.append(f.read())
        self.assertEqual(outputs[0], outputs[1])


def leaf_sets(out):
    """Every merge's set of objects, in merge order, and the heights."""
    t = read_nc(out)
    n = (t["__dims__"]["row_nodes"] + 1) // 2
    new2old = t["row_new2old"]
    members = [frozenset([int(new2old[k])]) for k in range(n)]
    for node in range(n, 2 * n - 1):
        members.append(members[t["row_left"][node]] | members[t["row_right"][node]])
    return members[n:], t["row_distance"][n:]


class OneMissingCellAmongTightGroups(BrivaneTest):
    """Two tight groups of 20 objects far apart, one NaN cell in object 0:
    its NaN distances rank after every finite pair, so the clean objects of
    each group merge among themselves, at the within-group distances, before
    the groups join, whatever the linkage and whether all pairs or a count
    are computed."""

    def setUp(self):
        super().setUp()
        rng = np.random.default_rng(11)
        x = rng.normal(0, 0.03, (40, 6))
        x[20:] += 3.6
        x[0, 2] = np.nan
        write_nc(self.path("in.nc"), [("x", ("obj", "feat"), x, "f8")])

    def test_clean_objects_of_each_group_merge_before_the_groups_join(self):
        groups = (frozenset(range(1, 20)), frozenset(range(20, 40)))
        for mode in (["-a"], ["-M", 500]):
            for linkage in ("min", "ave", "max"):
                out = self.path("out.nc")
                r = run(["-i", self.path("in.nc"), "-o", out, "-d", "euclidean", "-R", 3, "-l", linkage] + mode)
                self.assertEqual(r.status, 0, r)
                case = "%s -l %s" % (" ".join(map(str, mode)), linkage)
                merges, heights = leaf_sets(out)
                for g in groups:
                    self.assertIn(g, merges, case)
                # Every finite merge comes first (the groups' own, then the
                # groups' join near 8.8), then object 0's merge at NaN.
                self.assertTrue(np.all(heights[:-2] < 1), (case, heights))
                self.assertGreater(heights[-2], 8, case)
                self.assertTrue(np.isnan(heights[-1]), case)
                self.assertEqual(merges[-2], groups[0] | groups[1], case)


MEASURES = ["euclidean", "manhattan", "minkowski", "pearson", "abspearson", "uncentcorrel", "absuncentcorrel",
            "spearman", "absspearman", "chord", "centchord", "averdiff", "maxdiff", "signsum", "hamming",
            "levenshtein"]


class EveryMeasurePropagatesNaN(BrivaneTest):
    """Object 2 holds no value, object 5 one NaN: under every measure both
    are at NaN from everything, so they join the others last, at NaN."""

    def test_objects_with_nan_join_last_at_nan_under_every_measure(self):
        rng = np.random.default_rng(6)
        x = rng.integers(1, 9, (8, 7)).astype(np.float64) * np.where(rng.random((8, 7)) < 0.5, -1, 1)
        x[2, :] = np.nan
        x[5, 3] = np.nan
        for code in ("f4", "f8"):
            write_nc(self.path("in.nc"), [("x", ("obj", "feat"), x, code)])
            for measure in MEASURES:
                out = self.path("out.nc")
                p = ["-p", 3] if measure == "minkowski" else []
                r = run(["-i", self.path("in.nc"), "-o", out, "-d", measure, "-a", "-R", 2] + p)
                self.assertEqual(r.status, 0, r)
                merges, heights = leaf_sets(out)
                case = "%s %s" % (code, measure)
                self.assertTrue(np.all(np.isfinite(heights[:-2])), (case, heights))
                self.assertEqual(merges[-3], frozenset({0, 1, 3, 4, 6, 7}), case)
                self.assertTrue(np.all(np.isnan(heights[-2:])), (case, heights))


if __name__ == "__main__":
    unittest.main()

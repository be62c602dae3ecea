"""End-to-end runs with the string and rank measures, including objects far
wider than a small stack could hold scratch space for."""
import resource
import unittest

import numpy as np
from scipy.cluster.hierarchy import linkage
from scipy.stats import spearmanr

from e2e_common import BrivaneTest, read_nc, run, write_nc


def small_stack():
    resource.setrlimit(resource.RLIMIT_STACK, (256 * 1024, 256 * 1024))


def char_matrix(words, width):
    out = np.zeros((len(words), width), dtype="S1")
    for i, w in enumerate(words):
        for j, ch in enumerate(w.encode()):
            out[i, j] = bytes([ch])
    return out


def levenshtein(a, b):
    prev = list(range(len(a) + 1))
    for j, cb in enumerate(b):
        cur = [j + 1]
        for i, ca in enumerate(a):
            cur.append(prev[i] if ca == cb else 1 + min(prev[i], prev[i + 1], cur[i]))
        prev = cur
    return prev[-1]


class StringMeasures(BrivaneTest):
    WORDS = ["saturday", "sunday", "monday", "mondays", "tuesday", "thursday", "abc", "bca"]

    def cluster_words(self, measure):
        src = write_nc(self.path("words.nc"), [("word", ("words", "width"), char_matrix(self.WORDS, 8), "S1")])
        r = run(["-i", src, "-o", self.path("out.nc"), "-d", measure, "-a", "-l", "min", "-R", "1"])
        self.assertEqual(r.status, 0, r)
        return read_nc(self.path("out.nc"))

    def test_levenshtein_single_linkage_heights_match_a_reference(self):
        tree = self.cluster_words("lev")
        n = len(self.WORDS)
        condensed = [levenshtein(self.WORDS[i], self.WORDS[j]) for i in range(n) for j in range(i + 1, n)]
        expected = sorted(linkage(np.asarray(condensed, float), "single")[:, 2])
        self.assertEqual(sorted(tree["row_distance"][n:]), expected)

    def test_hamming_counts_surplus_characters(self):
        tree = self.cluster_words("ham")
        n = len(self.WORDS)

        def hamming(a, b):
            return sum(x != y for x, y in zip(a, b)) + abs(len(a) - len(b))

        condensed = [hamming(self.WORDS[i], self.WORDS[j]) for i in range(n) for j in range(i + 1, n)]
        expected = sorted(linkage(np.asarray(condensed, float), "single")[:, 2])
        self.assertEqual(sorted(tree["row_distance"][n:]), expected)


class WideObjects(BrivaneTest):
    def test_spearman_on_columns_of_100000_rows_under_a_small_stack(self):
        rng = np.random.default_rng(4)
        data = rng.normal(size=(100000, 20)).astype(np.float32)
        data[:, 10:] += data[:, :10] * 2.0  # correlated columns pair up
        data[::7, 3] = data[::7, 4]          # some ties
        src = write_nc(self.path("wide.nc"), [("x", ("genes", "samples"), data, "f4")])
        r = run(["-i", src, "-o", self.path("out.nc"), "-C", "cols", "-d", "spearman", "-a", "-R", "1"],
                preexec_fn=small_stack)
        self.assertEqual(r.status, 0, r)
        rho = spearmanr(data.astype(np.float64)).correlation
        condensed = np.array([1 - rho[i, j] for i in range(20) for j in range(i + 1, 20)])
        expected = np.sort(linkage(condensed, "average")[:, 2])
        got = np.sort(read_nc(self.path("out.nc"))["col_distance"][20:])
        np.testing.assert_allclose(got, expected, rtol=1e-9, atol=1e-12)

    def test_levenshtein_on_two_fields_of_40000_characters_under_a_small_stack(self):
        a = "ab" * 20000
        b = a[1:] + "a"  # one deletion at the front, one insertion at the end
        src = write_nc(self.path("text.nc"), [("text", ("docs", "width"), char_matrix([a, b], 40000), "S1")])
        for measure, expected in (("lev", 2.0), ("ham", 40000.0)):
            r = run(["-i", src, "-o", self.path("out.nc"), "-d", measure, "-a", "-R", "1"],
                    preexec_fn=small_stack)
            self.assertEqual(r.status, 0, r)
            self.assertEqual(read_nc(self.path("out.nc"))["row_distance"].tolist(), [0.0, 0.0, expected])


class RoundingBelowZero(BrivaneTest):
    """Exactly proportional rows: under the measures of direction each such
    pair is at zero and merges before the rest, and no height is negative or
    NaN, so that SciPy takes the tree."""

    def test_proportional_rows_merge_at_zero_never_below(self):
        rng = np.random.default_rng(9)
        base = rng.normal(0, 5, (12, 9))
        x = np.vstack([base, base * rng.uniform(0.2, 40, (12, 1))])
        write_nc(self.path("in.nc"), [("x", ("obj", "feat"), x, "f8")])
        for measure in ("chord", "centchord", "pearson", "uncentcorrel", "abspearson", "absuncentcorrel"):
            out = self.path("out.nc")
            r = run(["-i", self.path("in.nc"), "-o", out, "-d", measure, "-a", "-l", "min", "-R", 1])
            self.assertEqual(r.status, 0, r)
            t = read_nc(out)
            n = 24
            heights = t["row_distance"][n:]
            self.assertTrue(np.all(heights >= 0), (measure, heights))
            self.assertTrue(np.all(heights[:12] < 1e-6), (measure, heights[:12]))
            self.assertTrue(np.all(heights[12:] > 1e-3), (measure, heights[12:]))
            for node in range(n, n + 12):
                a, b = t["row_left"][node], t["row_right"][node]
                self.assertEqual(abs(int(t["row_new2old"][a]) - int(t["row_new2old"][b])), 12, measure)


if __name__ == "__main__":
    unittest.main()

"""The Python package against SciPy: on exact runs over tie-free data the
heights, the merged object sets and the flat clusterings equal
scipy.cluster.hierarchy's, for the seven linkages, the metrics that share a
name, every input kind and the element types."""
import unittest

import numpy as np
import scipy.sparse
from scipy.cluster import hierarchy
from scipy.spatial.distance import pdist, squareform

import brivane


def merged_sets(Z):
    """The objects under each merge, in merge order."""
    n = len(Z) + 1
    members = [frozenset([i]) for i in range(n)]
    for a, b, _, _ in Z:
        members.append(members[int(a)] | members[int(b)])
    return members[n:]


def partition(labels):
    groups = {}
    for obj, label in enumerate(labels):
        groups.setdefault(label, set()).add(obj)
    return sorted(sorted(g) for g in groups.values())


def tie_free_data(n=60, m=5, seed=7):
    X = np.random.default_rng(seed).normal(size=(n, m))
    assert len(np.unique(pdist(X))) == n * (n - 1) // 2
    return X


class ExactEqualsSciPy(unittest.TestCase):
    def assert_same_tree(self, Z, expected, what):
        self.assertTrue(hierarchy.is_valid_linkage(Z), what)
        np.testing.assert_allclose(Z[:, 2], expected[:, 2], rtol=1e-10, err_msg=what)
        self.assertEqual(merged_sets(Z), merged_sets(expected), what)
        np.testing.assert_array_equal(Z[:, 3], expected[:, 3], err_msg=what)

    def test_three_linkages_heights_merges_and_flat_clusters(self):
        X = tie_free_data()
        for method in ("single", "average", "complete"):
            result = brivane.cluster(X, method, exact=True, seed=1)
            Z, expected = result.linkage, hierarchy.linkage(X, method)
            self.assert_same_tree(Z, expected, method)
            # The leaf order SciPy reads from the matrix is brivane's own.
            np.testing.assert_array_equal(hierarchy.leaves_list(Z), result.leaf_order)
            np.testing.assert_allclose(hierarchy.cophenet(Z), hierarchy.cophenet(expected), rtol=1e-10)
            for k in (2, 5, 17):
                self.assertEqual(partition(hierarchy.fcluster(Z, k, "maxclust")),
                                 partition(hierarchy.fcluster(expected, k, "maxclust")), (method, k))
            t = np.median(expected[:, 2])
            self.assertEqual(partition(hierarchy.fcluster(Z, t, "distance")),
                             partition(hierarchy.fcluster(expected, t, "distance")), method)

    def test_weighted_ward_centroid_and_median_as_scipys(self):
        X = tie_free_data(n=70, seed=11)
        for method in ("weighted", "ward", "centroid", "median"):
            for given in (False, True):
                Z = (brivane.linkage(pdist(X), method, "precomputed") if given
                     else brivane.linkage(X, method, exact=True, seed=1))
                # Centroid and median trees have inversions; the merges come
                # in SciPy's order all the same.
                self.assert_same_tree(Z, hierarchy.linkage(X, method), (method, given))

    def test_quality_table_carries_the_methods_own_column(self):
        X = tie_free_data(n=40, seed=12)
        for method in ("weighted", "ward", "centroid", "median"):
            result = brivane.cluster(X, method, exact=True, seed=1, quality=True)
            np.testing.assert_allclose(result.quality[method], hierarchy.linkage(X, method)[:, 2], rtol=1e-9,
                                       err_msg=method)
            self.assertIn("level-summed Ward cost", result.quality_summary)
        result = brivane.cluster(X, "average", "cityblock", exact=True, seed=1, quality=True)
        self.assertEqual(len(result.quality.dtype.names), 8)
        self.assertNotIn("level-summed Ward cost", result.quality_summary)

    def test_ward_of_another_metric_is_the_programs_refusal(self):
        with self.assertRaisesRegex(brivane.BrivaneError, "Ward linkage needs euclidean distances"):
            brivane.linkage(tie_free_data(), "ward", "cityblock", num_distances=100, seed=1)

    def test_metrics_that_share_scipys_names(self):
        X = tie_free_data(40, 6, seed=3)
        cases = [("euclidean", {}, "euclidean", {}), ("cityblock", {}, "cityblock", {}),
                 ("manhattan", {}, "cityblock", {}), ("minkowski", {"p": 3}, "minkowski", {"p": 3}),
                 ("minkowski", {}, "minkowski", {"p": 2}), ("correlation", {}, "correlation", {}),
                 ("cosine", {}, "cosine", {}), ("chebyshev", {}, "chebyshev", {})]
        for metric, kw, scipy_metric, scipy_kw in cases:
            Z = brivane.linkage(X, "average", metric, exact=True, **kw)
            expected = hierarchy.linkage(pdist(X, scipy_metric, **scipy_kw), "average")
            self.assert_same_tree(Z, expected, metric)

    def test_condensed_square_and_sparse_distances(self):
        X = tie_free_data(30, 4, seed=5)
        y = pdist(X)
        expected = hierarchy.linkage(y, "complete")
        inputs = {"condensed": y, "square": squareform(y), "square float32": squareform(y).astype(np.float32),
                  "csr": scipy.sparse.csr_matrix(squareform(y)),
                  "upper coo": scipy.sparse.coo_matrix(np.triu(squareform(y)))}
        for kind, D in inputs.items():
            Z = brivane.linkage(D, "complete", "precomputed", seed=1)
            if "float32" in kind:
                np.testing.assert_allclose(Z[:, 2], expected[:, 2], rtol=1e-6, err_msg=kind)
            else:
                self.assert_same_tree(Z, expected, kind)

    def test_columns_of_a_matrix_are_its_transposes_rows(self):
        X = tie_free_data(25, 3, seed=11)
        self.assert_same_tree(brivane.linkage(X.T, "average", exact=True, axis=1), hierarchy.linkage(X, "average"),
                              "axis=1")

    def test_element_types_keep_their_values(self):
        # Single linkage heights are the minimum spanning tree's edges,
        # unique even where integer data have tied distances.
        rng = np.random.default_rng(2)
        base = rng.integers(-100, 100, size=(30, 6))
        cases = {"int8": base.astype(np.int8), "uint8": (base + 120).astype(np.uint8),
                 "int16": (base * 300).astype(np.int16), "uint16": (base + 40000).astype(np.uint16),
                 "int32": (base * 10**6).astype(np.int32), "int64 within 32 bits": base.astype(np.int64),
                 "int64 beyond 32 bits": base.astype(np.int64) * 2**40, "uint32": (base + 2**31).astype(np.uint32),
                 "bool": base > 0, "float16": (base / 8).astype(np.float16), "float32": (base / 3).astype(np.float32)}
        for kind, X in cases.items():
            Z = brivane.linkage(X, "single", exact=True)
            expected = hierarchy.linkage(X.astype(np.float64), "single")
            np.testing.assert_allclose(np.sort(Z[:, 2]), np.sort(expected[:, 2]), rtol=1e-12, err_msg=kind)


if __name__ == "__main__":
    unittest.main()

"""HierarchicalClustering: brivane as an estimator in scikit-learn's manner (fit, labels_), without scikit-learn."""
import inspect

import numpy as np

from . import _api, _run

# brivane-export's warning for a count that only joins at +inf or NaN reach.
MSG_INFINITE_CUT = ("WARNING! At most %d clusters takes joins at +infinity or NaN: some clusters are joined that no "
                    "known distance connects")


def _cut_ranks(Z):
    """The linkage with its heights replaced by their ranks in cutting order
    (numbers ascending, NaN above every number, +inf above NaN; equal heights
    share a rank), and the distinct numbers."""
    h = Z[:, 2]
    nan, inf = np.isnan(h), h == np.inf
    number = ~nan & ~inf
    levels, rank = np.unique(h[number], return_inverse=True)
    ranked = np.array(Z, dtype=np.float64, copy=True)
    ranked[number, 2] = rank
    ranked[nan, 2] = len(levels)
    ranked[inf, 2] = len(levels) + 1
    return ranked, levels


def flat_clusters(Z, n_clusters=None, threshold=None):
    """The flat cluster of each object, numbered from 0 in leaf order, cut as
    brivane-export clusters cuts: n_clusters, the lowest cut that leaves at
    most that many clusters; threshold, the clusters whose merges all lie at
    that height or below.  A merge counts at the highest merge below it
    (approximate trees need not rise towards the root); a NaN merge lies
    above every finite height and below +inf, where brivane makes it."""
    from scipy.cluster.hierarchy import fcluster, leaves_list, maxdists  # slow to import, so only when needed

    n = len(Z) + 1
    if n == 1:
        return np.zeros(1, dtype=np.intp)
    ranked, levels = _cut_ranks(Z)
    if n_clusters is not None:
        if n_clusters >= n:
            cut = -1.0
        else:
            cut = np.sort(maxdists(ranked))[n - n_clusters - 1]
            if cut >= len(levels):
                _run.warn(MSG_INFINITE_CUT % n_clusters)
    else:
        cut = float(np.searchsorted(levels, threshold, side="right") - 1)
    labels = fcluster(ranked, cut, criterion="distance")
    # fcluster's own numbers renumbered by their first object in leaf order.
    in_leaf_order = labels[leaves_list(ranked)]
    _, first = np.unique(in_leaf_order, return_index=True)
    number = np.empty(labels.max() + 1, dtype=np.intp)
    number[in_leaf_order[np.sort(first)]] = np.arange(len(first))
    return number[labels]


class HierarchicalClustering:
    """Agglomerative clustering by brivane, cut into flat clusters.

    Give exactly one of n_clusters (the number of flat clusters) and
    distance_threshold (clusters whose merge distance is above it stay
    apart).  linkage: a method of `brivane.linkage` ("single", "average",
    "complete", "weighted", "ward", "centroid", "median"); metric: as for
    `brivane.linkage`, "precomputed" included; the other parameters are those
    of `brivane.linkage`.

    After `fit`: labels_ (the flat cluster of each object, 0 ...
    n_clusters_-1, numbered in leaf order), linkage_matrix_ (SciPy's linkage
    matrix), n_clusters_, n_leaves_.  The cut is brivane-export's: n_clusters
    gives the lowest cut that leaves at most that many clusters (ties can
    leave fewer; SciPy's maxclust can also miss the lowest cut);
    distance_threshold keeps apart the clusters whose merges, or any merge
    below them, lie above it.  NaN merges lie above every finite threshold
    and below the joins at +inf (clusters that no known distance connects),
    which lie above every threshold.  Time-budget runs (the default) are not
    reproducible, as for `brivane.linkage`."""

    def __init__(self, n_clusters=None, distance_threshold=None, linkage="average", metric="euclidean", exact=False,
                 memory=2.0, time=None, num_distances=None, seed=None, threads=None):
        self.n_clusters = n_clusters
        self.distance_threshold = distance_threshold
        self.linkage = linkage
        self.metric = metric
        self.exact = exact
        self.memory = memory
        self.time = time
        self.num_distances = num_distances
        self.seed = seed
        self.threads = threads

    @classmethod
    def _param_names(cls):
        return [name for name in inspect.signature(cls.__init__).parameters if name != "self"]

    def get_params(self, deep=True):
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params):
        names = self._param_names()
        for name, value in params.items():
            if name not in names:
                raise ValueError("invalid parameter %r for %s; valid: %s" % (name, type(self).__name__,
                                                                            ", ".join(names)))
            setattr(self, name, value)
        return self

    def __repr__(self):
        defaults = inspect.signature(type(self).__init__).parameters
        changed = ["%s=%r" % (k, v) for k, v in self.get_params().items() if v != defaults[k].default]
        return "%s(%s)" % (type(self).__name__, ", ".join(changed))

    def fit(self, X, y=None):
        if (self.n_clusters is None) == (self.distance_threshold is None):
            raise ValueError("give exactly one of n_clusters and distance_threshold")
        count = threshold = None
        if self.n_clusters is not None:
            count = _api._integer("n_clusters", self.n_clusters, low=1)
        else:
            threshold = _api._real("distance_threshold", self.distance_threshold)

        Z = _api.linkage(X, method=self.linkage, metric=self.metric, exact=self.exact, memory=self.memory,
                         time=self.time, num_distances=self.num_distances, seed=self.seed, threads=self.threads)
        self.linkage_matrix_ = Z
        self.labels_ = flat_clusters(Z, count, threshold)
        self.n_clusters_ = int(self.labels_.max()) + 1
        self.n_leaves_ = len(Z) + 1
        return self

    def fit_predict(self, X, y=None):
        return self.fit(X).labels_

"""HierarchicalClustering: brivane as an estimator in scikit-learn's manner (fit, labels_), without scikit-learn."""
import inspect

import numpy as np

from . import _api, _tree


class HierarchicalClustering:
    """Agglomerative clustering by brivane, cut into flat clusters.

    Give exactly one of n_clusters (the number of flat clusters) and
    distance_threshold (clusters whose merge distance is above it stay
    apart).  linkage: "single", "average" or "complete"; metric: as for
    `brivane.linkage`, "precomputed" included; the other parameters are those
    of `brivane.linkage`.

    After `fit`: labels_ (the flat cluster of each object, 0 ...
    n_clusters_-1), linkage_matrix_ (SciPy's linkage matrix), n_clusters_,
    n_leaves_.  Joins at +inf (clusters that no known distance connects) lie
    above every threshold."""

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
        if self.n_clusters is not None:
            _api._integer("n_clusters", self.n_clusters, low=1)
        else:
            threshold = _api._real("distance_threshold", self.distance_threshold)
        from scipy.cluster.hierarchy import fcluster  # slow to import, so only when needed

        Z = _api.linkage(X, method=self.linkage, metric=self.metric, exact=self.exact, memory=self.memory,
                         time=self.time, num_distances=self.num_distances, seed=self.seed, threads=self.threads)
        n = len(Z) + 1
        if n == 1:
            labels = np.ones(1, dtype=np.int32)
        elif self.n_clusters is not None:
            labels = fcluster(_tree.cut_heights(Z), min(self.n_clusters, n), criterion="maxclust")
        else:
            labels = fcluster(_tree.cut_heights(Z), threshold, criterion="distance")
        self.linkage_matrix_ = Z
        self.labels_ = np.asarray(labels, dtype=np.intp) - 1
        self.n_clusters_ = int(self.labels_.max()) + 1
        self.n_leaves_ = n
        return self

    def fit_predict(self, X, y=None):
        return self.fit(X).labels_

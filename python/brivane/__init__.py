"""brivane from Python: NumPy arrays in, SciPy linkage matrices out.

Each call runs the brivane library in this process (the compiled module
brivane._engine) on the caller's array in place where its type allows,
with the GIL released; Ctrl-C stops a run with KeyboardInterrupt.  The
run's WARNING lines are issued as BrivaneWarning.  The quality table
(cluster(..., quality=True)) is the program's alone: that call runs the
brivane program in a child process on a temporary NetCDF file, found
through BRIVANE_BIN (its folder, or the program itself), else beside the
package where the build or the install put it, else on PATH.

    import brivane
    from scipy.cluster.hierarchy import fcluster
    Z = brivane.linkage(X, "average", "euclidean")
    labels = fcluster(Z, 10, criterion="maxclust")
"""
from ._api import METHODS, METRICS, Clustering, cluster, linkage
from ._errors import BrivaneError, BrivaneWarning
from ._estimator import HierarchicalClustering
from ._programs import program
from ._tree import Tree, finite, read_tree

__all__ = ["linkage", "cluster", "read_tree", "finite", "HierarchicalClustering", "BrivaneError", "BrivaneWarning",
           "Clustering", "Tree", "program", "METHODS", "METRICS"]
__version__ = "1.6.0"

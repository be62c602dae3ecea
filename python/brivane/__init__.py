"""brivane from Python: NumPy arrays in, SciPy linkage matrices out.

Each call writes the input into a temporary NetCDF file, runs the brivane
program in a child process (an error or a crash in a run never takes the
interpreter down) and reads its dendrogram back; the temporary files are
removed in every case (an interrupt, SIGTERM or SIGHUP ends the child
first).  The program's WARNING lines are issued as BrivaneWarning.  The
program is found through BRIVANE_BIN (its folder, or the program itself),
else beside the package where the build or the install put it, else on
PATH.

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

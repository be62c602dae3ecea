"""brivane-export where its output used to mislead with exit 0: merge heights
near the largest double (an empty picture, Newick lengths of "inf"), and
treeview column headers that numbered the columns instead of naming them."""
import os
import re
import subprocess
import unittest

import numpy as np

from e2e_common import BRIVANE, BrivaneTest, write_nc
from e2e_export import THREE, cells, export, labels_var, write_tree

BIN = os.environ.get("BRIVANE_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))
IMPORT = os.path.join(BIN, "brivane-import")


def tree_width(path):
    """How wide the tree's lines (the stroked paths of the SVG) reach; NaN
    when a coordinate is not a finite number."""
    with open(path) as f:
        svg = f.read()
    xs = []
    for d in re.findall(r'<path style="fill:none;[^"]*" d="([^"]*)"', svg):
        words = [w for w in d.split() if w not in ("M", "L")]
        numbers = [float(w) for w in words]
        if not all(np.isfinite(numbers)):
            return float("nan")
        xs += numbers[0::2]
    return max(xs) - min(xs) if xs else 0.0


class HugeHeights(BrivaneTest):
    def test_heights_near_the_largest_double_are_drawn_to_scale_and_finite(self):
        cases = {
            "top at 1e308": [1e300, 1e308],
            "random join above 1e308": [1e308, np.inf],
            "largest double": [1.0, np.finfo(float).max],
            "everything at infinity": [np.inf, np.inf],
        }
        ordinary = None
        for case, heights in cases.items():
            with self.subTest(case=case):
                Z = THREE.copy()
                Z[:, 2] = heights
                tree = write_tree(self.path("t.nc"), Z)
                status, out, err = export(["newick", "-t", tree, "-o", "-"])
                self.assertEqual(status, 0, err)
                self.assertNotIn("inf", out)
                lengths = [float(part.split(")")[0].split(",")[0]) for part in out.strip(";\n").split(":")[1:]]
                self.assertTrue(all(np.isfinite(lengths)), out)
                self.assertGreater(max(lengths), 0)
                status, _, err = export(["picture", "-t", tree, "-o", self.path("p.svg")])
                self.assertEqual(status, 0, err)
                drawn = tree_width(self.path("p.svg"))
                if ordinary is None:
                    Z[:, 2] = [1, 4.5]
                    export(["picture", "-t", write_tree(self.path("o.nc"), Z), "-o", self.path("o.svg")])
                    ordinary = tree_width(self.path("o.svg"))
                # drawn to scale: the root as far from the leaves as an ordinary tree's, within a third
                self.assertGreater(drawn, ordinary * 2 / 3, case)


class TreeViewNames(BrivaneTest):
    def test_the_data_columns_are_named_from_the_input(self):
        table = self.path("t.tsv")
        with open(table, "w") as f:
            f.write("gene\tliver\tlung\tbrain\ng1\t1\t2\t3\ng2\t1\t2.5\t3\ng3\t9\t8\t7\ng4\t0\t0\t1\n")
        subprocess.run([IMPORT, table, self.path("in.nc")], check=True, capture_output=True)
        names = ["liver", "lung", "brain"]
        for case, cluster in (("rows", "rows"), ("columns", "cols")):
            for source in ("input", "tree file"):
                with self.subTest(clustered=case, source=source):
                    tree = self.path("tree.nc")
                    r = subprocess.run([BRIVANE, "-i", self.path("in.nc"), "-D", "data", "-C", cluster, "-d",
                                        "euclidean", "-R", "1", "-O", "-o", tree], capture_output=True)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    words = ["treeview", "-t", tree, "-o", self.path("out")]
                    if source == "input":
                        words += ["-i", self.path("in.nc"), "-D", "data"]
                    else:
                        words += ["-D", "data"]
                    status, _, err = export(words)
                    self.assertEqual(status, 0, err)
                    cdt = cells(self.path("out.cdt"))
                    if cluster == "rows":
                        self.assertEqual(cdt[0][4:], names)
                    else:
                        # the rows of the .cdt are the data's rows, named by row_name
                        self.assertEqual([row[0] for row in cdt[3:]], ["g1", "g2", "g3", "g4"])
                        self.assertEqual([row[1] for row in cdt[3:]], ["g1", "g2", "g3", "g4"])

    def test_without_names_the_columns_keep_their_numbers(self):
        src = write_nc(self.path("in.nc"), [("x", ["row", "col"], np.zeros((3, 2)), "f8"),
                                            labels_var(["a", "b", "c"])])
        status, _, err = export(["treeview", "-t", write_tree(self.path("t.nc"), THREE), "-i", src, "-D", "x",
                                 "-o", self.path("out")])
        self.assertEqual(status, 0, err)
        self.assertEqual(cells(self.path("out.cdt"))[0][4:], ["0", "1"])


if __name__ == "__main__":
    unittest.main()

"""brivane-export on dendrogram files: SciPy linkage, Newick, Java TreeView
and pictures.  The dendrogram files are made here from SciPy linkages in
brivane's layout (leaf children by leaf position, larger child left)."""
import io
import os
import struct
import subprocess
import unittest
import xml.etree.ElementTree as ElementTree

import numpy as np
from Bio import Phylo
from scipy.cluster import hierarchy
from scipy.spatial.distance import squareform

from e2e_common import BrivaneTest, read_nc, run, write_nc

EXPORT = os.path.join(os.environ.get("BRIVANE_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "build")),
                      "brivane-export")


def export(args):
    proc = subprocess.run([EXPORT] + [str(a) for a in args], capture_output=True, timeout=300)
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")


def brivane_layout(Z):
    """The seven dendrogram arrays brivane writes for the SciPy linkage Z."""
    n = len(Z) + 1
    nodes = 2 * n - 1
    size = np.ones(nodes, int)
    kids = {}
    for k, (a, b, _, _) in enumerate(Z):
        a, b = int(a), int(b)
        if size[b] > size[a]:
            a, b = b, a
        kids[n + k] = (a, b)
        size[n + k] = size[a] + size[b]
    old2new = np.full(nodes, -1, np.int32)
    new2old = np.full(nodes, -1, np.int32)
    start = np.arange(nodes, dtype=np.int32)
    end = np.arange(nodes, dtype=np.int32)
    order, stack = [], [nodes - 1]
    while stack:
        node = stack.pop()
        if node < n:
            order.append(node)
        else:
            stack += [kids[node][1], kids[node][0]]
    for p, o in enumerate(order):
        new2old[p], old2new[o] = o, p
    left = np.full(nodes, -1, np.int32)
    right = np.full(nodes, -1, np.int32)
    first = {o: old2new[o] for o in range(n)}
    for node in range(n, nodes):
        a, b = kids[node]
        first[node] = first[a]
        start[node], end[node] = first[a], first[a] + size[node] - 1
        left[node] = a if a >= n else old2new[a]
        right[node] = b if b >= n else old2new[b]
    distance = np.zeros(nodes)
    distance[n:] = Z[:, 2]
    return dict(left=left, right=right, start=start, end=end, old2new=old2new, new2old=new2old, distance=distance)


def write_tree(path, Z, prefix="row_", extra=(), layout=None):
    layout = layout or brivane_layout(Z)
    dim = prefix + "nodes"
    variables = [(prefix + name, [dim], layout[name], "f8" if name == "distance" else "i4")
                 for name in ("left", "right", "start", "end", "old2new", "new2old", "distance")]
    return write_nc(path, variables + list(extra))


def cophenetic_of_file(layout):
    """Cophenetic distances straight from the leaf ranges of the file."""
    n = (len(layout["left"]) + 1) // 2
    new2old, start, end = layout["new2old"], layout["start"], layout["end"]
    D = np.zeros((n, n))
    for node in range(n, 2 * n - 1):
        lc = layout["left"][node]
        split = end[lc] if lc >= n else lc
        a = new2old[start[node]:split + 1]
        b = new2old[split + 1:end[node] + 1]
        D[np.ix_(a, b)] = D[np.ix_(b, a)] = layout["distance"][node]
    return squareform(D, checks=False)


def labels_var(names, dim="row"):
    width = max(len(s) for s in names)
    chars = np.array([list(s.ljust(width, "\0")) for s in names], "S1")
    return ("names", [dim, "len"], chars, "S1")


def chain(n):
    """Leaf k+1 joins the cluster of leaves 0..k at height k+1."""
    Z = np.zeros((n - 1, 4))
    Z[:, 0] = [0] + list(range(n, 2 * n - 2))
    Z[:, 1] = np.arange(1, n)
    Z[:, 2] = np.arange(1, n)
    Z[:, 3] = np.arange(2, n + 1)
    return Z


def read_text(path):
    with open(path) as f:
        return f.read()


def cells(path):
    """A tab-separated file as rows of cells."""
    return [line.split("\t") for line in read_text(path).splitlines()]


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


# Three objects from the layout example: node 3 joins objects 1 and 2 at 1,
# node 4 joins node 3 and object 0 at 4.5.
THREE = np.array([[1, 2, 1.0, 2], [3, 0, 4.5, 3]])


class Linkage(BrivaneTest):
    def linkage(self, tree, *more):
        status, out, err = export(["linkage", "-t", tree, "-o", self.path("z.txt")] + list(more))
        self.assertEqual(status, 0, err)
        return np.loadtxt(self.path("z.txt"), ndmin=2)

    def test_leaf_children_are_object_indices_not_positions(self):
        Z = self.linkage(write_tree(self.path("t.nc"), THREE))
        np.testing.assert_array_equal(Z, [[1, 2, 1.0, 2], [3, 0, 4.5, 3]])

    def test_average_linkage_reads_back_valid_with_the_files_cophenetic_distances(self):
        points = np.random.default_rng(3).normal(size=(40, 3))
        layout = brivane_layout(hierarchy.linkage(points, "average"))
        Z = self.linkage(write_tree(self.path("t.nc"), None, layout=layout))
        self.assertTrue(hierarchy.is_valid_linkage(Z))
        np.testing.assert_allclose(hierarchy.cophenet(Z), cophenetic_of_file(layout))

    def test_non_monotone_and_infinite_merges_stay_valid(self):
        Z = hierarchy.linkage(np.random.default_rng(4).normal(size=(12, 2)), "single")
        Z[3, 2], Z[-2:, 2] = 99.0, np.inf
        layout = brivane_layout(Z)
        out = self.linkage(write_tree(self.path("t.nc"), Z))
        self.assertTrue(hierarchy.is_valid_linkage(out))
        self.assertEqual(list(out[-2:, 2]), [np.inf, np.inf])
        self.assertIn(" inf ", read_text(self.path("z.txt")))
        np.testing.assert_array_equal(hierarchy.cophenet(out), cophenetic_of_file(layout))

    def test_prefix_is_found_from_the_nodes_dimension_or_given(self):
        for prefix in ("row_", "col_", ""):
            with self.subTest(prefix=prefix):
                tree = write_tree(self.path("t%s.nc" % prefix), THREE, prefix=prefix)
                self.assertEqual(self.linkage(tree).shape, (2, 4))
                self.assertEqual(self.linkage(tree, "-X", prefix).shape, (2, 4))

    def test_single_object_gives_an_empty_matrix(self):
        layout = dict(left=[-1], right=[-1], start=[0], end=[0], old2new=[0], new2old=[0], distance=[0.0])
        tree = write_tree(self.path("t.nc"), None, layout=layout)
        self.assertEqual(export(["linkage", "-t", tree, "-o", self.path("z.txt")])[0], 0)
        self.assertEqual(read_text(self.path("z.txt")), "")

    def test_dash_writes_to_standard_output(self):
        status, out, _ = export(["linkage", "-t", write_tree(self.path("t.nc"), THREE), "-o", "-"])
        self.assertEqual((status, out), (0, "1 2 1 2\n3 0 4.5 3\n"))


class Newick(BrivaneTest):
    def newick(self, tree, *more):
        status, out, err = export(["newick", "-t", tree, "-o", "-"] + list(more))
        self.assertEqual(status, 0, err)
        return out, Phylo.read(io.StringIO(out), "newick")

    def test_branch_lengths_are_height_differences(self):
        points = np.random.default_rng(5).normal(size=(25, 2))
        Z = hierarchy.linkage(points, "complete")
        _, tree = self.newick(write_tree(self.path("t.nc"), Z))
        self.assertEqual(sorted(int(c.name) for c in tree.get_terminals()), list(range(25)))
        # Monotone heights: every leaf lies the root's height below the root.
        for leaf in tree.get_terminals():
            self.assertAlmostEqual(tree.distance(leaf), Z[-1, 2])
        self.assertAlmostEqual(tree.distance("3", "17"), 2 * squareform(hierarchy.cophenet(Z))[3, 17])

    def test_labels_are_quoted_where_newick_needs_it(self):
        names = ["plain", "two words", "a,b", "(x)", "snake_case", "it's"]
        Z = hierarchy.linkage(np.arange(6.0)[:, None], "single")
        data = write_nc(self.path("in.nc"), [labels_var(names)])
        text, tree = self.newick(write_tree(self.path("t.nc"), Z), "-i", data, "-L", "names")
        self.assertIn("plain:", text)
        self.assertIn("'two words'", text)
        self.assertIn("'snake_case'", text)
        self.assertIn("'it''s'", text)
        # Bio.Phylo does not undo doubled quotes; every other label reads back.
        read = {c.name for c in tree.get_terminals()}
        self.assertTrue(set(names[:5]) <= read, read)

    def test_labels_of_the_output_data_copy_follow_the_leaf_order(self):
        names = ["p%d" % i for i in range(6)]
        Z = hierarchy.linkage(np.array([5.0, 0, 4, 1, 3, 2])[:, None], "average")
        layout = brivane_layout(Z)
        permuted = [names[o] for o in layout["new2old"][:6]]
        tree = write_tree(self.path("t.nc"), Z, extra=[labels_var(permuted)])
        _, read = self.newick(tree, "-L", "names")
        self.assertAlmostEqual(read.distance("p1", "p3"), 2 * squareform(hierarchy.cophenet(Z))[1, 3])

    def test_negative_lengths_clamp_to_zero_and_infinity_sits_at_twice_the_top(self):
        Z = np.array([[0, 1, 5.0, 2], [4, 2, 3.0, 3], [5, 3, np.inf, 4]])
        text, tree = self.newick(write_tree(self.path("t.nc"), Z))
        lengths = {c.name: c.branch_length for c in tree.get_terminals()}
        self.assertEqual(lengths, {"0": 5.0, "1": 5.0, "2": 3.0, "3": 10.0})
        self.assertEqual(text.count(":0,") + text.count(":0)"), 1, text)  # node 4 under node 5

    def test_nan_merge_sits_at_its_higher_child(self):
        Z = np.array([[0, 1, 2.0, 2], [3, 2, np.nan, 3]])
        text, tree = self.newick(write_tree(self.path("t.nc"), Z))
        self.assertEqual({c.name: c.branch_length for c in tree.get_terminals()}, {"0": 2.0, "1": 2.0, "2": 2.0})
        self.assertNotIn("nan", text)

    def test_chain_of_a_hundred_thousand_leaves_is_written_without_recursion(self):
        n = 100000
        tree = write_tree(self.path("t.nc"), chain(n))
        status, _, err = export(["newick", "-t", tree, "-o", self.path("t.nwk")])
        self.assertEqual(status, 0, err)
        text = read_text(self.path("t.nwk"))
        self.assertEqual(text.count("("), n - 1)
        self.assertTrue(text.endswith(");\n"))
        status, _, err = export(["linkage", "-t", tree, "-o", self.path("z.txt")])
        self.assertEqual(status, 0, err)
        self.assertTrue(hierarchy.is_valid_linkage(np.loadtxt(self.path("z.txt"))))


class TreeView(BrivaneTest):
    def test_rows_clustered_give_cdt_in_leaf_order_and_gtr(self):
        data = np.array([[0.0, 1], [10, 11], [0.5, 1.5], [10.2, 11.1]])
        Z = hierarchy.linkage(data, "average")
        layout = brivane_layout(Z)
        order = list(layout["new2old"][:4])
        src = write_nc(self.path("in.nc"), [("x", ["row", "col"], data, "f8"), labels_var(list("abcd"))])
        tree = write_tree(self.path("t.nc"), Z)
        status, _, err = export(["treeview", "-t", tree, "-i", src, "-L", "names", "-o", self.path("out")])
        self.assertEqual(status, 0, err)
        cdt = cells(self.path("out.cdt"))
        self.assertEqual(cdt[0], ["GID", "UNIQID", "NAME", "GWEIGHT", "0", "1"])
        self.assertEqual(cdt[1], ["EWEIGHT", "", "", "", "1", "1"])
        self.assertEqual([row[0] for row in cdt[2:]], ["GENE%dX" % o for o in order])
        self.assertEqual([row[1] for row in cdt[2:]], ["abcd"[o] for o in order])
        np.testing.assert_array_equal([[float(v) for v in row[4:]] for row in cdt[2:]], data[order])
        gtr = cells(self.path("out.gtr"))
        self.assertEqual(len(gtr), 3)
        self.assertEqual([g[0] for g in gtr], ["NODE1X", "NODE2X", "NODE3X"])
        self.assertEqual(gtr[2][1:3], ["NODE%dX" % (layout[side][6] - 3) for side in ("left", "right")])
        np.testing.assert_allclose([float(g[3]) for g in gtr], 1 - Z[:, 2])
        self.assertFalse(os.path.exists(self.path("out.atr")))

    def test_columns_clustered_give_aid_line_and_atr(self):
        data = np.array([[1.0, 9, 2], [1, 9, 2.5]])
        Z = hierarchy.linkage(data.T, "single")
        order = list(brivane_layout(Z)["new2old"][:3])
        src = write_nc(self.path("in.nc"), [("x", ["row", "col"], data, "f4")])
        status, _, err = export(["treeview", "-t", write_tree(self.path("t.nc"), Z, prefix="col_"),
                                 "-i", src, "-o", self.path("out.cdt")])
        self.assertEqual(status, 0, err)
        cdt = cells(self.path("out.cdt"))
        self.assertEqual(cdt[0], ["UNIQID", "NAME", "GWEIGHT"] + [str(o) for o in order])
        self.assertEqual(cdt[1], ["AID", "", ""] + ["ARRY%dX" % o for o in order])
        self.assertEqual(cdt[3][:3], ["0", "0", "1"])
        np.testing.assert_array_equal([float(v) for v in cdt[4][3:]], data[1, order])
        self.assertEqual(read_text(self.path("out.atr")).splitlines()[0].split("\t")[1:3], ["ARRY0X", "ARRY2X"])

    def test_output_data_copy_is_read_from_the_tree_file(self):
        data = np.array([[3.0, 3], [0, 0], [2.9, 3.1], [0.1, 0]])
        Z = hierarchy.linkage(data, "average")
        layout = brivane_layout(Z)
        order = list(layout["new2old"][:4])
        tree = write_tree(self.path("t.nc"), Z, extra=[("x", ["row", "col"], data[order], "f8")])
        status, _, err = export(["treeview", "-t", tree, "-o", self.path("out")])
        self.assertEqual(status, 0, err)
        rows = cells(self.path("out.cdt"))[2:]
        self.assertEqual([r[0] for r in rows], ["GENE%dX" % o for o in order])
        np.testing.assert_array_equal([[float(v) for v in r[4:]] for r in rows], data[order])

    def test_missing_values_are_empty_cells(self):
        data = np.array([[0.0, np.nan], [1, 1]])
        src = write_nc(self.path("in.nc"), [("x", ["row", "col"], data, "f8")])
        Z = np.array([[0, 1, 1.0, 2]])
        export(["treeview", "-t", write_tree(self.path("t.nc"), Z), "-i", src, "-o", self.path("out")])
        self.assertEqual(read_text(self.path("out.cdt")).splitlines()[2], "GENE0X\t0\t0\t1\t0\t")


class Picture(BrivaneTest):
    def setUp(self):
        super().setUp()
        rng = np.random.default_rng(6)
        self.data = np.vstack([rng.normal(0, 1, (15, 8)), rng.normal(4, 1, (15, 8))])
        self.tree = write_tree(self.path("t.nc"), hierarchy.linkage(self.data, "average"))
        self.src = write_nc(self.path("in.nc"), [("x", ["row", "col"], self.data, "f8"),
                                                 labels_var(["obj_%d" % i for i in range(30)])])

    def test_png_has_the_requested_size(self):
        out = self.path("p.png")
        status, _, err = export(["picture", "-t", self.tree, "-i", self.src, "-L", "names", "-W", 640, "-H", 480,
                                 "-o", out])
        self.assertEqual(status, 0, err)
        self.assertEqual(png_size(out), (640, 480))

    def test_default_size_grows_with_the_rows_up_to_a_bound(self):
        out = self.path("p.png")
        self.assertEqual(export(["picture", "-t", self.tree, "-i", self.src, "-o", out])[0], 0)
        self.assertEqual(png_size(out)[1], 30 * 12 + 20 + 34)
        big = write_tree(self.path("big.nc"), chain(10000))
        self.assertEqual(export(["picture", "-t", big, "-o", out])[0], 0)
        self.assertEqual(png_size(out)[1], 1600 + 20)

    def test_ten_thousand_rows_of_data_are_averaged_into_the_picture(self):
        data = np.random.default_rng(7).normal(size=(10000, 20))
        tree = write_tree(self.path("t2.nc"), hierarchy.linkage(data, "single"))
        src = write_nc(self.path("in2.nc"), [("x", ["row", "col"], data, "f4")])
        out = self.path("p.png")
        status, _, err = export(["picture", "-t", tree, "-i", src, "-o", out])
        self.assertEqual(status, 0, err)
        self.assertEqual(png_size(out), (20 + 300 + 240, 1600 + 20 + 34))

    def test_svg_parses_as_xml(self):
        out = self.path("p.svg")
        status, _, err = export(["picture", "-t", self.tree, "-i", self.src, "-L", "names", "-o", out])
        self.assertEqual(status, 0, err)
        self.assertTrue(ElementTree.parse(out).getroot().tag.endswith("svg"))


class RealBrivaneOutput(BrivaneTest):
    """Dendrogram files written by brivane itself."""

    def cluster(self, words):
        r = run(words + ["-o", self.path("tree.nc")])
        self.assertEqual(r.status, 0, r)
        return self.path("tree.nc")

    def test_exact_average_linkage_matches_scipy(self):
        data = np.random.default_rng(8).normal(size=(30, 4))
        src = write_nc(self.path("in.nc"), [("x", ["row", "col"], data, "f8")])
        tree = self.cluster(["-i", src, "-d", "euclid", "-a", "-l", "ave"])
        status, _, err = export(["linkage", "-t", tree, "-o", self.path("z.txt")])
        self.assertEqual(status, 0, err)
        Z = np.loadtxt(self.path("z.txt"))
        self.assertTrue(hierarchy.is_valid_linkage(Z))
        np.testing.assert_allclose(hierarchy.cophenet(Z), hierarchy.cophenet(hierarchy.linkage(data, "average")))
        layout = {k[4:]: v for k, v in read_nc(tree).items() if k.startswith("row_")}
        np.testing.assert_allclose(hierarchy.cophenet(Z), cophenetic_of_file(layout))

    def test_random_joins_of_a_disconnected_distance_list(self):
        src = write_nc(self.path("in.nc"), [("d", ["m"], np.array([1.0, 2.0, 1.5]), "f8"),
                                            ("a", ["m"], np.array([0, 2, 3]), "i4"),
                                            ("b", ["m"], np.array([1, 3, 4]), "i4")], dims=[("obj", 5)])
        tree = self.cluster(["-i", src, "-C", "distlist", "-D", "d", "-F", "a", "-T", "b", "-N", "obj"])
        status, out, err = export(["linkage", "-t", tree, "-o", "-"])
        self.assertEqual(status, 0, err)
        self.assertEqual(out.splitlines()[-1].split()[2:], ["inf", "5"])
        status, out, err = export(["newick", "-t", tree, "-o", "-"])
        self.assertEqual(status, 0, err)
        read = Phylo.read(io.StringIO(out), "newick")
        self.assertEqual(sorted(c.name for c in read.get_terminals()), list("01234"))
        self.assertAlmostEqual(read.distance("0", "4"), 2 * 4.0)  # +inf drawn at twice the top merge, 2

    def test_output_data_copy_gives_the_same_treeview_as_the_input(self):
        data = np.random.default_rng(9).normal(size=(12, 3))
        src = write_nc(self.path("in.nc"), [("x", ["row", "col"], data, "f8"),
                                            labels_var(["r%d" % i for i in range(12)])])
        tree = self.cluster(["-i", src, "-D", "x", "-d", "euclid", "-a", "-O"])
        for name, more in (("copy", []), ("input", ["-i", src])):
            status, _, err = export(["treeview", "-t", tree, "-D", "x", "-L", "names", "-o", self.path(name)] + more)
            self.assertEqual(status, 0, err)
        self.assertEqual(read_text(self.path("copy.cdt")), read_text(self.path("input.cdt")))
        self.assertEqual(read_text(self.path("copy.gtr")), read_text(self.path("input.gtr")))

    def test_clustered_columns_are_found_from_the_prefix(self):
        data = np.random.default_rng(10).normal(size=(3, 9))
        src = write_nc(self.path("in.nc"), [("x", ["row", "col"], data, "f4")])
        tree = self.cluster(["-i", src, "-d", "euclid", "-a", "-C", "cols"])
        status, _, err = export(["treeview", "-t", tree, "-i", src, "-o", self.path("out")])
        self.assertEqual(status, 0, err)
        self.assertEqual(len(cells(self.path("out.atr"))), 8)
        self.assertEqual(cells(self.path("out.cdt"))[1][0], "AID")
        status, _, err = export(["picture", "-t", tree, "-i", src, "-o", self.path("p.png")])
        self.assertEqual((status, png_size(self.path("p.png"))[1]), (0, 200 + 20 + 34), err)


def partition(labels):
    groups = {}
    for obj, label in enumerate(labels):
        groups.setdefault(label, set()).add(obj)
    return sorted(sorted(g) for g in groups.values())


class InvertedTrees(BrivaneTest):
    """Centroid and median trees written by brivane, whose merges may lie
    below their children, in every format."""

    def test_every_format_takes_the_inversions_as_scipy_does(self):
        points = np.random.default_rng(24).normal(size=(40, 2))
        src = write_nc(self.path("in.nc"), [("x", ["row", "col"], points, "f8"),
                                            labels_var(["p%d" % i for i in range(40)])])
        for method in ("centroid", "median"):
            expected = hierarchy.linkage(points, method)
            for engine in ("dense", "linear"):
                with self.subTest(method=method, engine=engine):
                    r = run(["-i", src, "-D", "x", "-d", "euclidean", "-a", "-l", method, "-E", engine,
                             "-o", self.path("tree.nc")])
                    self.assertEqual(r.status, 0, r)
                    tree = self.path("tree.nc")
                    status, _, err = export(["linkage", "-t", tree, "-o", self.path("z.txt")])
                    self.assertEqual(status, 0, err)
                    Z = np.loadtxt(self.path("z.txt"))
                    self.assertTrue(hierarchy.is_valid_linkage(Z))
                    self.assertTrue((np.diff(Z[:, 2]) < 0).any(), "the tree has an inversion")
                    np.testing.assert_allclose(Z[:, 2], expected[:, 2], rtol=1e-9)
                    np.testing.assert_array_equal(Z[:, 3], expected[:, 3])
                    # A cut between two merge heights: at one, the rounding
                    # of either program could put the merge on either side.
                    middle = float(np.sort(expected[:, 2])[19:21].mean())
                    for words, criterion in ((["-k", 5], (5, "maxclust")),
                                             (["-H", repr(middle)], (middle, "distance"))):
                        status, _, err = export(["clusters", "-t", tree, "-o", self.path("c.tsv")] + words)
                        self.assertEqual(status, 0, err)
                        got = [int(row[1]) for row in cells(self.path("c.tsv"))]
                        self.assertEqual(partition(got), partition(hierarchy.fcluster(expected, *criterion)), words)
                    status, text, err = export(["newick", "-t", tree, "-i", src, "-L", "names", "-o", "-"])
                    self.assertEqual(status, 0, err)
                    read = Phylo.read(io.StringIO(text), "newick")
                    self.assertEqual(len(read.get_terminals()), 40)
                    self.assertTrue(all(c.branch_length >= 0 for c in read.find_clades() if c.branch_length is not None))
                    status, _, err = export(["treeview", "-t", tree, "-i", src, "-D", "x", "-o", self.path("tv")])
                    self.assertEqual(status, 0, err)
                    self.assertEqual(len(cells(self.path("tv.gtr"))), 39)
                    status, _, err = export(["picture", "-t", tree, "-i", src, "-D", "x", "-o", self.path("p.png")])
                    self.assertEqual(status, 0, err)
                    self.assertIsNotNone(png_size(self.path("p.png")))


class BadInput(BrivaneTest):
    def fails(self, args, message):
        status, out, err = export(args)
        self.assertEqual(status, 1, err)
        self.assertIn(message, err)
        self.assertEqual(out, "")

    def test_help_goes_to_standard_output(self):
        for flag in ("-h", "--help"):
            status, out, err = export([flag])
            self.assertEqual((status, err), (0, ""))
            self.assertTrue(out.startswith("Usage: brivane-export FORMAT"))

    def test_usage_faults(self):
        tree = write_tree(self.path("t.nc"), THREE)
        for args, message in [
            (["linkage", "-o", "x"], "ERROR! The dendrogram file must be given with -t"),
            (["linkage", "-t", tree], "ERROR! The output name must be given with -o"),
            (["-t", tree, "-o", "x"], "ERROR! Name one export format"),
            (["dot", "-t", tree, "-o", "x"], "ERROR! Unknown export format 'dot'"),
            (["picture", "-t", tree, "-o", "x.jpg"], "ERROR! The picture name must end in .png or .svg: x.jpg"),
            (["picture", "-t", tree, "-o", "x.png", "-W", "10"], "ERROR! Picture width and height"),
            (["linkage", "-t", tree, "-o", "x", "-C", "both"], "ERROR! -C takes rows or cols, not 'both'"),
            (["linkage", "--bogus"], "Usage: brivane-export"),
        ]:
            with self.subTest(args=args):
                self.fails(args, message)

    def test_files_that_are_not_dendrograms(self):
        other = write_nc(self.path("o.nc"), [("x", ["row", "col"], np.zeros((2, 2)), "f8")])
        tree = write_tree(self.path("t.nc"), THREE)
        both = write_tree(self.path("b.nc"), THREE, extra=[("col_left", ["col_nodes"], np.zeros(5), "i4")])
        for args, message in [
            (["linkage", "-t", self.path("none.nc"), "-o", "-"], "ERROR! Could not open dendrogram file "),
            (["linkage", "-t", other, "-o", "-"], "ERROR! No dendrogram found"),
            (["linkage", "-t", both, "-o", "-"], "ERROR! Several dendrograms, choose one with -X"),
            (["linkage", "-t", tree, "-X", "col_", "-o", "-"], "ERROR! No dimension named 'col_nodes'"),
            (["linkage", "-t", tree, "-o", self.path("no/dir.txt")], "ERROR! Could not write output file "),
        ]:
            with self.subTest(args=args):
                self.fails(args, message)

    def test_damaged_dendrograms_are_refused(self):
        cases = {
            "a leaf child given twice": ("right", 3, 0, "a node is the child of two merges"),
            "a child later than its parent": ("left", 3, 4, "a merge has a child that is not an earlier node"),
            "new2old with a repeat": ("new2old", 1, 1, "new2old is not a permutation"),
        }
        for case, (name, index, value, message) in cases.items():
            with self.subTest(case=case):
                layout = brivane_layout(THREE)
                layout[name][index] = value
                tree = write_tree(self.path("t.nc"), None, layout=layout)
                self.fails(["linkage", "-t", tree, "-o", "-"], "ERROR! The dendrogram is damaged: " + message)

    def test_data_faults(self):
        tree = write_tree(self.path("t.nc"), THREE)
        src = write_nc(self.path("in.nc"), [("x", ["row", "col"], np.zeros((3, 2)), "f8"),
                                            ("y", ["row", "col"], np.zeros((3, 2)), "f8"),
                                            ("short", ["four", "col"], np.zeros((4, 2)), "f8")])
        for args, message in [
            (["treeview", "-i", src], "ERROR! Several data matrices, name one with -D"),
            (["treeview"], "ERROR! No data matrix with one entry per object found"),
            (["treeview", "-i", src, "-D", "z"], "ERROR! Variable 'z' not found in "),
            (["treeview", "-i", src, "-D", "short"], "ERROR! Variable 'short' does not have one entry per object"),
            (["newick", "-i", src, "-L", "x"], "ERROR! Variable 'x' is not a char variable with one label"),
            (["newick", "-i", self.path("none.nc")], "ERROR! Could not open input file "),
        ]:
            with self.subTest(args=args):
                self.fails(args + ["-t", tree, "-o", self.path("out")], message)


if __name__ == "__main__":
    unittest.main()

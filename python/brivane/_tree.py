"""Dendrogram files in SciPy's linkage form: reading, checking, and heights fit for drawing."""
import sys

import numpy as np

from . import _netcdf
from ._errors import BrivaneError

SUFFIXES = ("left", "right", "start", "end", "old2new", "new2old", "distance")


class Tree:
    """A dendrogram read from a file written by brivane.

    linkage: the (n-1) x 4 SciPy linkage matrix; leaf_order: the objects from
    left to right (as `scipy.cluster.hierarchy.leaves_list(linkage)` gives
    them); names: the object names in object order when the file holds them
    (brivane -O copies the input's text variables into it), else None;
    prefix: the prefix of the dendrogram variables (row_, col_ or empty)."""

    def __init__(self, linkage, leaf_order, names=None, prefix=""):
        self.linkage = linkage
        self.leaf_order = leaf_order
        self.names = names
        self.prefix = prefix

    def __repr__(self):
        return "Tree(%d objects, prefix %r%s)" % (len(self.leaf_order), self.prefix,
                                                  ", with names" if self.names is not None else "")


def to_linkage(left, right, start, end, new2old, distance, path="the dendrogram"):
    """SciPy's linkage matrix and the leaf order from brivane's node arrays.

    brivane numbers nodes as SciPy numbers clusters (objects 0..n-1, merge k
    makes node n+k), but gives a leaf child by its leaf position, not by its
    object.  A node array that is not a binary tree over n objects is refused
    with BrivaneError, so that SciPy is never handed a broken linkage."""
    nodes = len(distance)
    if nodes % 2 == 0 or any(len(a) != nodes for a in (left, right, start, end, new2old)):
        raise BrivaneError("%s is damaged: its node arrays do not describe a binary tree" % path)
    n = (nodes + 1) // 2
    order = np.asarray(new2old[:n], dtype=np.int64)
    if order.size and (order.min() < 0 or order.max() >= n or np.bincount(order, minlength=n).max() != 1):
        raise BrivaneError("%s is damaged: new2old is not an order of the objects" % path)
    merge = np.arange(n, nodes)
    children = np.stack([np.asarray(left[n:], np.int64), np.asarray(right[n:], np.int64)], axis=1)
    if children.size and ((children < 0).any() or (children >= merge[:, None]).any()):
        raise BrivaneError("%s is damaged: a merge names a child out of range or made after it" % path)
    leaf = children < n
    children[leaf] = order[children[leaf]]
    if children.size and np.bincount(children.ravel(), minlength=nodes - 1).max() != 1:
        raise BrivaneError("%s is damaged: a node is the child of two merges" % path)
    size = np.asarray(end[n:], np.int64) - np.asarray(start[n:], np.int64) + 1
    sizes = np.concatenate([np.ones(n, np.int64), size])
    if size.size and (sizes[children[:, 0]] + sizes[children[:, 1]] != size).any():
        raise BrivaneError("%s is damaged: a node's start and end do not span its children" % path)
    Z = np.empty((n - 1, 4))
    Z[:, :2] = children
    Z[:, 2] = distance[n:]
    Z[:, 3] = size
    return Z, order


def find_prefix(reader, path):
    """The prefix of the one dendrogram in the file."""
    found = [name[:-len("nodes")] for name in reader.lengths
             if name.endswith("nodes") and name[:-len("nodes")] + "left" in reader.shapes]
    if not found:
        raise BrivaneError("no dendrogram (a dimension <prefix>nodes with <prefix>left) in %s" % path)
    if len(found) > 1:
        raise BrivaneError("several dendrograms in %s: name the prefix" % path)
    return found[0]


def _text_rows(chars):
    """Strings from a char array (one string per row), NUL padding and
    trailing blanks removed."""
    chars = np.asarray(chars, dtype="S1")
    if chars.ndim == 1:
        chars = chars[:, None]
    rows = chars.reshape(chars.shape[0], -1).view("S%d" % max(chars.shape[1], 1)).ravel()
    return [row.split(b"\0", 1)[0].decode("utf-8", "replace").rstrip(" ") for row in rows]


def _names_variable(reader, prefix, n, nodes_dim):
    """The char variable that names the objects: the one called <prefix>name
    (as brivane-import calls it) or else the only char variable of n rows."""
    candidates = [name for name, dims in reader.shapes.items()
                  if reader.types[name].kind == "S" and 1 <= len(dims) <= 2
                  and dims[0] != nodes_dim and reader.lengths[dims[0]] == n]
    if prefix + "name" in candidates:
        return prefix + "name"
    return candidates[0] if len(candidates) == 1 else None


def read_tree(path, prefix=None, names=None):
    """Reads a dendrogram file written by brivane; returns a Tree.

    prefix: the prefix of the dendrogram variables (default: found from the
    file's <prefix>nodes dimension).  names: the char variable holding the
    object names (default: <prefix>name, else the only char variable with one
    row per object); the names come back in object order, ready for
    `dendrogram(labels=...)`.  A file without names gives names None."""
    try:
        reader = _netcdf.Reader(path)
    except (OSError, ValueError, TypeError, RuntimeError) as e:
        raise BrivaneError("could not open the dendrogram file %s (%s)" % (path, e)) from None
    with reader:
        if prefix is None:
            prefix = find_prefix(reader, path)
        nodes_dim = prefix + "nodes"
        for suffix in SUFFIXES:
            if reader.shapes.get(prefix + suffix) != (nodes_dim,):
                raise BrivaneError("no variable %s%s(%s) in %s" % (prefix, suffix, nodes_dim, path))
        arrays = [reader.get(prefix + suffix) for suffix in SUFFIXES]
        left, right, start, end, _, new2old, distance = arrays
        Z, order = to_linkage(left, right, start, end, new2old, distance.astype(np.float64), path)
        n = len(order)
        if names is None:
            names = _names_variable(reader, prefix, n, nodes_dim)
        elif names not in reader.shapes:
            raise ValueError("no variable %r in %s" % (names, path))
        labels = None
        if names is not None:
            dims = reader.shapes[names]
            if reader.types[names].kind != "S" or not 1 <= len(dims) <= 2 or reader.lengths[dims[0]] != n:
                raise ValueError("%r is not a char variable with one row per object" % names)
            in_leaf_order = _text_rows(reader.get(names))
            labels = [None] * n
            for position, obj in enumerate(order):
                labels[obj] = in_leaf_order[position]
    return Tree(Z, order, labels, prefix)


def read_output(path):
    """The linkage and leaf order of a dendrogram file the program has just written."""
    with _netcdf.Reader(path) as reader:
        prefix = find_prefix(reader, path)
        arrays = [reader.get(prefix + suffix) for suffix in SUFFIXES]
    left, right, start, end, _, new2old, distance = arrays
    return to_linkage(left, right, start, end, new2old, distance, path)


def _heights(Z, infinite):
    """Merge heights with NaN (and -inf) at the higher child's height and
    +inf at `infinite`."""
    Z = np.array(Z, dtype=np.float64, copy=True)
    if Z.ndim != 2 or Z.shape[1] != 4:
        raise ValueError("Z must be a linkage matrix of shape (n-1, 4)")
    h = Z[:, 2]
    h[h == np.inf] = infinite
    n = len(Z) + 1
    for k in np.flatnonzero(np.isnan(h) | (h == -np.inf)):
        # Merges come after their children, so those heights are final.
        kids = [int(c) for c in Z[k, :2]]
        h[k] = max([h[c - n] for c in kids if c >= n] + [0.0])
    return Z


def finite(Z):
    """A copy of the linkage Z with every height finite, for drawing: the
    joins at +inf (clusters that no known distance connects) at twice the
    largest finite height (at 1 when that is 0 or there is none, at the
    largest double when twice would overflow), a NaN height at the height of
    its higher child, as brivane-export draws them."""
    h = np.asarray(Z, dtype=np.float64)
    h = h[:, 2] if h.ndim == 2 and h.shape[1:] == (4,) else np.zeros(0)
    top = h[np.isfinite(h)].max() if np.isfinite(h).any() else 0.0
    largest = sys.float_info.max
    return _heights(Z, largest if top > largest / 2 else 2 * top if top > 0 else 1.0)

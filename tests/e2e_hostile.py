"""Hostile and degenerate inputs: each gets a clear message and status, or a
correct result; never a crash, a hang or a wrong result reported as success.
Every case of the table in docs/hostile-inputs.md is here."""
import os
import re
import resource
import unittest

import numpy as np

from e2e_common import BrivaneTest, read_nc, run, write_nc


def valid_tree(test, out, n, prefix):
    """The seven arrays describe a complete binary tree over n leaves."""
    new2old = out[prefix + "new2old"][:n]
    test.assertEqual(sorted(new2old.tolist()), list(range(n)))
    test.assertEqual(out[prefix + "start"][2 * n - 2], 0)
    test.assertEqual(out[prefix + "end"][2 * n - 2], n - 1)


class Refused(BrivaneTest):
    """Inputs and settings refused with a message and status 1, no output."""

    def assert_refused(self, args, message="ERROR! "):
        out = self.path("out.nc")
        r = run(args + ["-o", out])
        self.assertEqual(r.status, 1, r)
        self.assertIn(message, r.stderr)
        self.assertNotIn("Segmentation", r.stderr)
        self.assertFalse(os.path.exists(out))
        self.assertEqual([f for f in os.listdir(self.tmp) if ".tmp" in f], [])
        return r

    def matrix(self, rows=20, cols=3):
        data = np.random.default_rng(1).normal(size=(rows, cols))
        return write_nc(self.path("in.nc"), [("x", ("obj", "feat"), data, "f8")])

    def test_no_objects_in_a_data_matrix(self):
        src = write_nc(self.path("in.nc"), [("x", ("obj", "feat"), np.zeros((0, 3)), "f8")],
                       dims=[("obj", None), ("feat", 3)])
        self.assert_refused(["-i", src, "-d", "euc", "-a"])

    def test_no_objects_in_a_distance_list(self):
        src = write_nc(self.path("in.nc"), [("d", ("e",), [1.0], "f8"), ("f", ("e",), [0], "i4"),
                                            ("t", ("e",), [0], "i4")], dims=[("objs", None)])
        self.assert_refused(["-i", src, "-C", "distlist", "-F", "f", "-T", "t", "-N", "objs"])

    def test_distance_list_with_out_of_range_or_negative_objects(self):
        for bad in (5, -1):
            with self.subTest(bad=bad):
                src = write_nc(self.path("in.nc"), [("d", ("e",), [1.0, 2.0], "f8"),
                                                    ("f", ("e",), [0, 1], "i4"),
                                                    ("t", ("e",), [1, bad], "i4")], dims=[("objs", 5)])
                self.assert_refused(["-i", src, "-C", "distlist", "-F", "f", "-T", "t", "-N", "objs"])

    def test_truncated_and_foreign_files(self):
        good = self.matrix()
        with open(good, "rb") as f:
            head = f.read(40)
        for name, content in (("truncated.nc", head), ("text.nc", b"not a netcdf file\n"), ("empty.nc", b"")):
            with self.subTest(name=name):
                with open(self.path(name), "wb") as f:
                    f.write(content)
                self.assert_refused(["-i", self.path(name), "-d", "euc"],
                                    "ERROR! Could not open input file " + self.path(name))

    def test_memory_budgets_zero_negative_and_not_a_number(self):
        src = self.matrix()
        for budget in ("0", "-1", "nan", "inf"):
            with self.subTest(budget=budget):
                self.assert_refused(["-i", src, "-d", "euc", "-m", budget])

    def test_time_budget_not_a_number_zero_or_negative(self):
        src = self.matrix()
        for budget in ("nan", "1e400", "0", "-3", "1e-320"):
            with self.subTest(budget=budget):
                self.assert_refused(["-i", src, "-d", "euc", "-t", budget])

    def test_shares_and_quantiles_not_a_number(self):
        src = self.matrix()
        self.assert_refused(["-i", src, "-d", "euc", "-M", "100", "-s", "nan"])
        self.assert_refused(["-i", src, "-d", "euc", "-Q", "nan"])

    def test_counts_beyond_the_integer_range(self):
        src = self.matrix()
        for flag in ("-q", "-S"):
            with self.subTest(flag=flag):
                self.assert_refused(["-i", src, "-d", "euc", flag, "99999999999"],
                                    "'99999999999' is out of range (-2147483648 to 2147483647)!")
        # A count of pairs is 64-bit: beyond the pairs there are, it means every pair.
        self.assert_refused(["-i", src, "-d", "euc", "-M", "99999999999999999999"],
                            "'99999999999999999999' is out of range (-9223372036854775808 to 9223372036854775807)!")
        out = self.path("out.nc")
        r = run(["-i", src, "-d", "euc", "-M", "99999999999", "-o", out])
        self.assertEqual(r.status, 0, r)
        self.assertIn("Values of 190 distances were calculated", r.stderr)
        os.remove(out)

    def test_pivot_count_and_split_threshold_below_one(self):
        src = self.matrix()
        self.assert_refused(["-i", src, "-d", "euc", "-q", "0"])
        self.assert_refused(["-i", src, "-d", "euc", "-S", "0"])

    def test_output_that_is_the_input_file(self):
        src = self.matrix()
        os.symlink(src, self.path("alias.nc"))
        os.link(src, self.path("hard.nc"))
        same = os.path.join(self.tmp, ".", "in.nc")
        for target in (src, same, self.path("alias.nc"), self.path("hard.nc")):
            with self.subTest(target=target):
                r = run(["-i", src, "-d", "euc", "-a", "-o", target])
                self.assertEqual(r.status, 1, r)
                self.assertIn("ERROR! The output file is the input file itself! Choose another output file.\n",
                              r.stderr)
                self.assertEqual(read_nc(src)["x"].shape, (20, 3))

    def test_output_that_names_a_folder(self):
        src = self.matrix()
        os.mkdir(self.path("out.nc"))
        r = run(["-i", src, "-d", "euc", "-a", "-o", self.path("out.nc")])
        self.assertEqual(r.status, 1, r)
        self.assertIn("ERROR! Error writing output file " + self.path("out.nc") + ": Is a directory\n", r.stderr)
        self.assertTrue(os.path.isdir(self.path("out.nc")))
        self.assertEqual(sorted(os.listdir(self.tmp)), ["in.nc", "out.nc"])

    @unittest.skipIf(os.environ.get("BRIVANE_SANITIZED"), "the sanitizer runtime needs more address space")
    def test_allocation_failure_is_reported_once(self):
        # a distance list over 10^8 objects needs gigabytes for the cluster
        # slots and the dendrogram, whatever its few entries
        src = write_nc(self.path("in.nc"), [("d", ("e",), [1.0], "f8"), ("f", ("e",), [0], "i4"),
                                            ("t", ("e",), [1], "i4")], dims=[("objs", 100000000)])

        def small_address_space():
            resource.setrlimit(resource.RLIMIT_AS, (400 << 20, 400 << 20))

        r = run(["-i", src, "-C", "distlist", "-F", "f", "-T", "t", "-N", "objs", "-o", self.path("out.nc")],
                preexec_fn=small_address_space)
        self.assertEqual(r.status, 1, r)
        self.assertEqual(r.stderr.count("Out of memory!"), 1, r)


class MemoryNeed(BrivaneTest):
    """A budget too small for the run is refused with the budget that would
    do, and a run with that budget goes through."""

    NEED = re.compile(r"\nThis run needs -m ([0-9.]+) or more \(gigabytes\)\.\n")

    def test_the_budget_a_refusal_names_is_enough(self):
        rng = np.random.default_rng(9)
        data = write_nc(self.path("data.nc"), [("x", ("obj", "feat"), rng.normal(size=(300, 4)), "f8")])
        d = rng.random((300, 300))
        d = d + d.T
        np.fill_diagonal(d, 0)
        matrix = write_nc(self.path("matrix.nc"), [("d", ("o", "o2"), d, "f8")])
        entries = 20000
        listed = write_nc(self.path("list.nc"), [("d", ("e",), rng.random(entries), "f8"),
                                                 ("f", ("e",), rng.integers(0, 3000, entries), "i4"),
                                                 ("t", ("e",), rng.integers(0, 3000, entries), "i4")],
                          dims=[("objs", 3000)])
        runs = {
            "a count": ["-i", data, "-d", "euc", "-M", "3000"],
            "the time budget": ["-i", data, "-d", "euc", "-t", "1"],
            "all pairs": ["-i", data, "-d", "euc", "-a"],
            "all pairs in the store": ["-i", data, "-d", "euc", "-a", "-E", "store"],
            "all pairs in the dense matrix": ["-i", data, "-d", "euc", "-a", "-E", "dense"],
            "columns": ["-i", data, "-C", "cols", "-d", "euc"],
            "a distance matrix": ["-i", matrix, "-C", "distmat"],
            "a distance matrix in the store": ["-i", matrix, "-C", "distmat", "-E", "store"],
            "a distance list": ["-i", listed, "-C", "distlist", "-F", "f", "-T", "t", "-N", "objs", "-D", "d"],
        }
        out = self.path("out.nc")
        for name, args in runs.items():
            for budget in ("0", "-1", "1e-6", "0.001"):
                with self.subTest(run=name, budget=budget):
                    r = run(args + ["-R", "1", "-o", out, "-m", budget])
                    if budget == "0.001" and r.status == 0:
                        os.unlink(out)  # a megabyte holds the smaller runs
                        continue
                    self.assertEqual(r.status, 1, r)
                    self.assertIn("ERROR! Insufficient memory", r.stderr)
                    need = self.NEED.search(r.stderr)
                    self.assertIsNotNone(need, r)
                    again = run(args + ["-R", "1", "-o", out, "-m", need.group(1)])
                    self.assertEqual(again.status, 0, "-m %s: %r" % (need.group(1), again))
                    os.unlink(out)


class Completed(BrivaneTest):
    """Degenerate inputs that still have a correct answer."""

    def cluster(self, variables, args, dims=None, prefix="row_"):
        src = write_nc(self.path("in.nc"), variables, dims)
        r = run(["-i", src, "-o", self.path("out.nc"), "-R", "3"] + args)
        self.assertEqual(r.status, 0, r)
        self.assertNotIn("Out of memory", r.stderr)
        return read_nc(self.path("out.nc")), r

    def test_one_object_gives_one_node(self):
        out, _ = self.cluster([("x", ("obj", "feat"), [[1.0, 2.0]], "f8")], ["-d", "euc"])
        self.assertEqual(out["row_left"].tolist(), [-1])
        self.assertEqual(out["row_new2old"].tolist(), [0])
        self.assertEqual(out["row_distance"].tolist(), [0.0])

    def test_two_objects_give_one_merge(self):
        out, _ = self.cluster([("x", ("obj", "feat"), [[0.0, 3.0], [4.0, 0.0]], "f8")], ["-d", "euc"])
        self.assertEqual(out["row_distance"].tolist(), [0.0, 0.0, 5.0])
        self.assertEqual(out["row_left"].tolist(), [-1, -1, 0])

    def test_identical_objects_skip_the_join_and_cluster_at_zero(self):
        out, r = self.cluster([("x", ("obj", "feat"), np.ones((300, 4)), "f8")], ["-d", "euc", "-M", "20000"])
        self.assertIn("WARNING! ", r.stderr)
        valid_tree(self, out, 300, "row_")
        self.assertTrue(np.all(out["row_distance"] == 0.0))

    def test_not_a_number_and_infinity_in_a_data_matrix(self):
        data = np.random.default_rng(2).normal(size=(60, 3))
        data[5, 1] = np.nan
        data[9, 0] = np.inf
        out, _ = self.cluster([("x", ("obj", "feat"), data, "f8")], ["-d", "euc", "-M", "1770"])
        valid_tree(self, out, 60, "row_")

    def test_not_a_number_and_infinity_in_a_distance_matrix_leave_the_pair_unknown(self):
        d = np.array([[0, 1, np.nan], [1, 0, np.inf], [np.nan, np.inf, 0]], float)
        out, _ = self.cluster([("d", ("o", "o2"), d, "f8")], ["-C", "distmat"], prefix="")
        self.assertEqual(out["distance"][3:].tolist(), [1.0, np.inf])

    def test_distance_list_with_nan_self_pairs_and_duplicates(self):
        variables = [("d", ("e",), [0.5, np.nan, 7.0, 0.9, 2.0], "f8"),
                     ("f", ("e",), [3, 0, 1, 2, 1], "i4"),
                     ("t", ("e",), [2, 1, 1, 3, 3], "i4")]
        out, r = self.cluster(variables, ["-C", "distlist", "-F", "f", "-T", "t", "-N", "objs"],
                              dims=[("objs", 4)], prefix="")
        self.assertIn("  Values of 2 distances were input", r.stderr)
        self.assertEqual(out["distance"][4:].tolist(), [0.5, 2.0, np.inf])

    def test_infinities_in_a_distance_list_leave_the_pair_unknown(self):
        variables = [("d", ("e",), [np.inf, 1.0, -np.inf], "f8"), ("f", ("e",), [0, 1, 2], "i4"),
                     ("t", ("e",), [1, 2, 0], "i4")]
        out, r = self.cluster(variables, ["-C", "distlist", "-F", "f", "-T", "t", "-N", "objs"],
                              dims=[("objs", 3)], prefix="")
        self.assertIn("  Values of 1 distances were input", r.stderr)
        self.assertEqual(out["distance"][3:].tolist(), [1.0, np.inf])

    def test_distance_list_without_entries_joins_everything_at_infinity(self):
        empty = np.zeros(0)
        variables = [("d", ("e",), empty, "f8"), ("f", ("e",), empty.astype("i4"), "i4"),
                     ("t", ("e",), empty.astype("i4"), "i4")]
        out, r = self.cluster(variables, ["-C", "distlist", "-F", "f", "-T", "t", "-N", "objs"],
                              dims=[("objs", 4), ("e", None)], prefix="")
        self.assertIn("  Values of 0 distances were input", r.stderr)
        valid_tree(self, out, 4, "")
        self.assertEqual(out["distance"][4:].tolist(), [np.inf] * 3)

    def test_columns_over_an_empty_record_dimension_are_objects_without_elements(self):
        # the only dimension of a classic file that can have length 0 is the
        # record dimension, and it comes first: the columns then have no rows
        variables = [("x", ("time", "station"), np.zeros((0, 4)), "f8")]
        for measure, gap in (("euclidean", 0.0), ("levenshtein", 0.0), ("pearson", None)):
            with self.subTest(measure=measure):
                out, _ = self.cluster(variables, ["-C", "cols", "-d", measure, "-O"],
                                      dims=[("time", None), ("station", 4)], prefix="col_")
                valid_tree(self, out, 4, "col_")
                self.assertEqual(out["x"].shape, (0, 4))
                self.assertFalse(np.isnan(out["col_distance"]).any())
                if gap is not None:
                    self.assertEqual(out["col_distance"].tolist(), [gap] * 7)

    def test_counts_larger_than_all_pairs_or_negative(self):
        data = np.random.default_rng(3).normal(size=(30, 2))
        for count in ("100000", "-5"):
            with self.subTest(count=count):
                out, r = self.cluster([("x", ("obj", "feat"), data, "f8")], ["-d", "euc", "-M", count])
                self.assertIn("  Values of 435 distances were calculated", r.stderr)
                self.assertFalse(np.isinf(out["row_distance"]).any())

    def test_more_pivots_than_objects_and_quantiles_outside_zero_to_one(self):
        data = np.random.default_rng(4).normal(size=(25, 3))
        for extra in (["-q", "40"], ["-q", "2147483647"], ["-P", "quantile", "-q", "2147483647"],
                      ["-P", "quantile", "-Q", "3"], ["-P", "quantile", "-Q", "-1"]):
            with self.subTest(extra=extra):
                out, _ = self.cluster([("x", ("obj", "feat"), data, "f8")], ["-d", "euc", "-M", "300"] + extra)
                valid_tree(self, out, 25, "row_")

    def test_shares_outside_zero_to_one(self):
        data = np.random.default_rng(5).normal(size=(40, 3))
        for share in ("-0.5", "1.5"):
            with self.subTest(share=share):
                out, _ = self.cluster([("x", ("obj", "feat"), data, "f8")],
                                      ["-d", "euc", "-M", "800", "-s", share])
                valid_tree(self, out, 40, "row_")

    def test_time_budgets_short_and_enormous(self):
        data = np.random.default_rng(6).normal(size=(50, 3))
        for budget, pairs in (("0.001", 1000), ("1e300", 1225)):
            with self.subTest(budget=budget):
                out, r = self.cluster([("x", ("obj", "feat"), data, "f8")], ["-d", "euc", "-t", budget])
                # The store has room above the count (at most every pair) for
                # a re-plan that raises it; the count is the least, or all.
                self.assertIn("dist_size=%d" % (2 * 1225 + 2), r.stderr)
                self.assertIn("Values of %d distances were calculated" % pairs, r.stderr)
                valid_tree(self, out, 50, "row_")

    def test_enormous_memory_budget(self):
        data = np.random.default_rng(7).normal(size=(40, 3))
        out, r = self.cluster([("x", ("obj", "feat"), data, "f8")], ["-d", "euc", "-m", "1e30", "-M", "500"])
        self.assertIn("dist_size=1562", r.stderr)  # raised to 20 per object, capped at all 780 pairs
        valid_tree(self, out, 40, "row_")

    def test_split_threshold_of_one(self):
        data = np.random.default_rng(8).normal(size=(200, 3))
        out, _ = self.cluster([("x", ("obj", "feat"), data, "f8")], ["-d", "euc", "-M", "4000", "-S", "1"])
        valid_tree(self, out, 200, "row_")

    def test_chain_shaped_dendrogram_over_a_million_objects(self):
        variables = [("d", ("e",), [1.0, 2.0, 3.0], "f8"), ("f", ("e",), [0, 5, 999998], "i4"),
                     ("t", ("e",), [1, 6, 999999], "i4")]
        out, _ = self.cluster(variables, ["-C", "distlist", "-F", "f", "-T", "t", "-N", "objs"],
                              dims=[("objs", 1000000)], prefix="")
        valid_tree(self, out, 1000000, "")
        self.assertEqual(np.isinf(out["distance"]).sum(), 1000000 - 1 - 3)


if __name__ == "__main__":
    unittest.main()

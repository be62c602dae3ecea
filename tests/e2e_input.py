"""End-to-end cases of the input phase: opening the file, finding the data,
distance-matrix or distance-list variable, the listing of usable variables,
the shapes and memory charge, and loading (the column transpose)."""
import os
import unittest

import netCDF4
import numpy as np

from e2e_common import BrivaneTest, read_nc, run, write_nc

DATA_LISTING = ("The input file contains the following list of usable data matrices, i.e. "
                "two-dimensional matrices of type ncInt, ncChar, ncFloat or ncDouble:\n")
DISTLIST_LISTING = ("The input file contains the following list of usable distance lists, i.e. "
                    "vectors of type ncInt, ncFloat or ncDouble:\n")


class InputCase(BrivaneTest):
    def rows(self, src, *extra, measure="euclidean"):
        return run(["-i", src, "-o", self.path("out.nc"), "-d", measure, "-R", "1"] + list(extra))

    def distmat(self, src, *extra):
        return run(["-i", src, "-o", self.path("out.nc"), "-C", "distmat", "-R", "1"] + list(extra))

    def distlist(self, src, *extra, names=("f", "t", "objects")):
        return run(["-i", src, "-o", self.path("out.nc"), "-C", "distlist", "-D", "d",
                    "-F", names[0], "-T", names[1], "-N", names[2], "-R", "1"] + list(extra))

    def assertRefused(self, r, message):
        self.assertEqual(r.status, 1, r)
        self.assertIn(message, r.stderr)


class Opening(InputCase):
    def test_missing_file_is_reported_on_the_data_input_line(self):
        name = self.path("none.nc")
        self.assertRefused(self.rows(name), "Data input...ERROR! Could not open input file %s\n" % name)

    def test_file_that_is_not_netcdf_is_reported_the_same_way(self):
        name = self.path("text.nc")
        with open(name, "w") as f:
            f.write("not a netcdf file\n")
        self.assertRefused(self.distmat(name), "Data input...ERROR! Could not open input file %s\n" % name)

    def test_file_cut_short_of_its_values_is_not_opened(self):
        src = write_nc(self.path("d.nc"), [("D", ("o", "p"), np.ones((10, 10)), "f8")])
        with open(src, "r+b") as f:
            f.truncate(os.path.getsize(src) - 100)
        self.assertRefused(self.distmat(src), "Data input...ERROR! Could not open input file %s\n" % src)

    def test_output_naming_the_input_by_another_path_is_refused(self):
        src = write_nc(self.path("d.nc"), [("D", ("o", "p"), np.zeros((3, 3)), "f8")])
        r = run(["-i", src, "-o", os.path.join(self.tmp, ".", "d.nc"), "-C", "distmat"])
        self.assertRefused(r, "ERROR! The output file is the input file itself!")
        self.assertEqual(read_nc(src)["D"].shape, (3, 3))


class Detection(InputCase):
    def test_only_usable_float_matrix_is_chosen(self):
        src = write_nc(self.path("f.nc"), [("v", ("r",), np.arange(4.0), "f4"),
                                           ("m", ("r", "c"), np.arange(8.0).reshape(4, 2), "f4")])
        r = self.rows(src, "-a")
        self.assertEqual(r.status, 0, r)
        self.assertEqual(read_nc(self.path("out.nc"))["__dims__"]["row_nodes"], 7)

    def test_two_usable_matrices_are_listed_for_the_user_to_choose(self):
        src = write_nc(self.path("two.nc"), [("A", ("rows", "cols"), np.zeros((10, 5)), "f8"),
                                             ("B", ("rows", "cols"), np.zeros((10, 5), "i4"), "i4")])
        r = self.rows(src)
        self.assertRefused(r, "ERROR! More than one usable data matrix in the input file, use flag -D to "
                              "specify which to use!\n" + DATA_LISTING +
                              " A : ncDouble A(rows=10,cols=5)\n B : ncInt B(rows=10,cols=5)\n")

    def test_named_short_matrix_is_not_usable(self):
        src = write_nc(self.path("s.nc"), [("S", ("r", "c"), np.zeros((3, 2), "i2"), "i2")])
        self.assertRefused(self.rows(src, "-D", "S"),
                           "ERROR! The specified variable is not usable for this purpose!\n"
                           "Only matrices of type ncInt, ncChar, ncFloat and ncDouble can be used as a data matrix\n")

    def test_named_vector_is_not_a_distance_matrix(self):
        src = write_nc(self.path("v.nc"), [("V", ("r",), np.zeros(3), "f8")])
        self.assertRefused(self.distmat(src, "-D", "V"),
                           "ERROR! The specified variable is not usable for this purpose!\n"
                           "Only square matrices of type ncInt, ncFloat and ncDouble can be used as a distance "
                           "matrix\n")

    def test_named_char_vector_is_not_a_distance_list(self):
        src = write_nc(self.path("v.nc"), [("d", ("m",), np.array([b"a", b"b"]), "S1"),
                                           ("f", ("m",), np.zeros(2, "i4"), "i4"),
                                           ("t", ("m",), np.ones(2, "i4"), "i4")], dims=[("objects", 2)])
        self.assertRefused(self.distlist(src),
                           "ERROR! The specified variable is not usable for this purpose!\n"
                           "Only vectors of type ncInt, ncFloat and ncDouble can be used as a distance list\n")

    def test_named_variable_that_is_absent_lists_the_usable_ones(self):
        src = write_nc(self.path("m.nc"), [("A", ("rows", "cols"), np.zeros((10, 5)), "f8")])
        self.assertRefused(self.rows(src, "-D", "a"),
                           "ERROR! The specified variable was not found in the input file!\n" + DATA_LISTING +
                           " A : ncDouble A(rows=10,cols=5)\n")

    def test_no_usable_data_matrix(self):
        src = write_nc(self.path("v.nc"), [("V", ("r",), np.zeros(3), "f8")])
        self.assertRefused(self.rows(src), "ERROR! The input file does not contain any matrices of types ncInt, "
                                           "ncChar, ncFloat or ncDouble that could be used as a data matrix!")

    def test_distance_matrix_mode_with_only_a_non_square_matrix(self):
        src = write_nc(self.path("w.nc"), [("W", ("r", "c"), np.zeros((10, 12)), "f8")])
        self.assertRefused(self.distmat(src), "ERROR! The input file does not contain any square matrices of "
                                              "types ncInt, ncFloat or ncDouble that could be used as a distance "
                                              "matrix!")

    def test_no_usable_distance_list(self):
        src = write_nc(self.path("w.nc"), [("W", ("r", "c"), np.zeros((3, 3)), "f8")], dims=[("objects", 3)])
        r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distlist", "-F", "f", "-T", "t", "-N", "objects"])
        self.assertRefused(r, "ERROR! The input file does not contain any vectors of types ncInt, ncFloat or "
                              "ncDouble that could be used as a distance list!")

    def test_start_vector_of_floats_is_refused_even_before_the_data(self):
        src = write_nc(self.path("l.nc"), [("f", ("m",), np.zeros(2), "f4"),
                                           ("d", ("m",), np.ones(2), "f8"),
                                           ("t", ("m",), np.ones(2, "i4"), "i4")], dims=[("objects", 2)])
        self.assertRefused(self.distlist(src),
                           "ERROR! Only vectors of type ncInt can be used as start-objects of distances!")

    def test_end_matrix_is_refused(self):
        src = write_nc(self.path("l.nc"), [("d", ("m",), np.ones(2), "f8"),
                                           ("f", ("m",), np.zeros(2, "i4"), "i4"),
                                           ("t", ("m", "k"), np.ones((2, 2), "i4"), "i4")], dims=[("objects", 2)])
        self.assertRefused(self.distlist(src),
                           "ERROR! Only vectors of type ncInt can be used as end-objects of distances!")


class DistanceList(InputCase):
    def list_file(self, start=(0, 1), end=(1, 2), objects=3):
        return write_nc(self.path("l.nc"), [("d", ("m",), np.array([0.5, 1.5]), "f8"),
                                            ("f", ("mf",), np.array(start, "i4"), "i4"),
                                            ("t", ("m",), np.array(end, "i4"), "i4")],
                        dims=[("objects", objects)])

    def test_list_is_found_beside_its_object_vectors(self):
        r = run(["-i", self.list_file(), "-o", self.path("out.nc"), "-C", "distlist",
                 "-F", "f", "-T", "t", "-N", "objects", "-R", "1"])
        self.assertEqual(r.status, 0, r)
        self.assertIn("  Values of 2 distances were input\n", r.stderr)

    def test_start_vector_shorter_than_the_distances(self):
        self.assertRefused(self.distlist(self.list_file(start=(0,))),
                           "ERROR! The three vectors containing the start-objects, end-objects and distances "
                           "must all be of equal length!")

    def test_start_vector_named_but_absent(self):
        self.assertRefused(self.distlist(self.list_file(), names=("g", "t", "objects")),
                           "ERROR! Vector containing start-objects of distances must be specified with --from")

    def test_end_vector_named_but_absent(self):
        self.assertRefused(self.distlist(self.list_file(), names=("f", "u", "objects")),
                           "ERROR! Vector containing end-objects of distances must be specified with --to")

    def test_object_dimension_not_in_the_file(self):
        self.assertRefused(self.distlist(self.list_file(), names=("f", "t", "nobjects")),
                           "ERROR! Could not find dimension 'nobjects' containing the number of objects!")

    def test_object_beyond_the_last_is_refused(self):
        self.assertRefused(self.distlist(self.list_file(end=(1, 3))), "ERROR! Entry 1 of the end-objects")

    def test_negative_object_is_refused(self):
        self.assertRefused(self.distlist(self.list_file(start=(-1, 0))), "ERROR! Entry 0 of the start-objects")

    def test_budget_too_small_for_the_given_pairs(self):
        # 2 entries take 32 bytes; storing their 2 pairs takes 500.
        self.assertRefused(self.distlist(self.list_file(), "-m", str(100 / 2**30)),
                           "ERROR! Insufficient memory to store all given distances")


class ShapesAndLoading(InputCase):
    def test_budget_smaller_than_the_data(self):
        src = write_nc(self.path("m.nc"), [("m", ("r", "c"), np.zeros((100, 10)), "f8")])
        self.assertRefused(self.rows(src, "-m", str(7999 / 2**30)),
                           "Data input...ERROR! Insufficient memory to hold all input data\n")

    def test_columns_of_int_matrix_are_the_objects(self):
        # Columns (1,3,5) and (2,4,6) lie sqrt(3) apart; rows would not.
        src = write_nc(self.path("i.nc"), [("m", ("r", "c"), np.array([[1, 2], [3, 4], [5, 6]], "i4"), "i4")])
        r = self.rows(src, "-C", "cols", "-a")
        self.assertEqual(r.status, 0, r)
        tree = read_nc(self.path("out.nc"))
        self.assertEqual(tree["__dims__"]["col_nodes"], 3)
        self.assertAlmostEqual(tree["col_distance"][2], np.sqrt(3))

    def test_char_matrix_is_clustered_by_rows(self):
        words = np.array([[b"a", b"b"], [b"a", b"c"], [b"z", b"z"]], dtype="S1")
        src = write_nc(self.path("c.nc"), [("w", ("r", "c"), words, "S1")])
        r = self.rows(src, "-a", measure="manhattan")
        self.assertEqual(r.status, 0, r)
        self.assertEqual(read_nc(self.path("out.nc"))["__dims__"]["row_nodes"], 5)

    def test_matrix_beyond_32_bit_element_counts_is_refused(self):
        # 50000 x 50000 elements, never written: the file stays sparse.
        src = self.path("big.nc")
        with netCDF4.Dataset(src, "w", format="NETCDF3_64BIT_OFFSET") as ds:
            ds.set_fill_off()
            ds.createDimension("r", 50000)
            ds.createDimension("c", 50000)
            ds.createVariable("m", "S1", ("r", "c"))
        self.assertRefused(self.rows(src), "Data input...ERROR! The input is too large")

    def test_input_without_objects_is_refused(self):
        src = self.path("e.nc")
        with netCDF4.Dataset(src, "w", format="NETCDF3_CLASSIC") as ds:
            ds.createDimension("r", None)
            ds.createDimension("c", 3)
            ds.createVariable("m", "f8", ("r", "c"))
        self.assertRefused(self.rows(src), "ERROR! The input holds no objects to cluster")


if __name__ == "__main__":
    unittest.main()

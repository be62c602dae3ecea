"""Cells that hold their variable's _FillValue or missing_value: missing in
floating-point data (read as NaN), kept with a warning in integer and
character data, for data matrices and given distances alike."""
import re
import unittest

import netCDF4
import numpy as np

from e2e_common import BrivaneTest, read_nc, run


def write_with_attributes(path, name, dims, values, code, **attributes):
    with netCDF4.Dataset(path, "w", format="NETCDF3_CLASSIC") as ds:
        for dname, length in zip(dims, np.shape(values)):
            if dname not in ds.dimensions:
                ds.createDimension(dname, length)
        fill = attributes.pop("_FillValue", None)
        var = ds.createVariable(name, code, dims, fill_value=fill)
        var.set_auto_maskandscale(False)
        for key, value in attributes.items():
            var.setncattr(key, value)
        var[...] = values
    return path


class FillValues(BrivaneTest):
    def rows(self, src, *extra):
        return run(["-i", src, "-o", self.path("out.nc"), "-d", "euclidean", "-a", "-R", "1"] + list(extra))

    def test_fill_cells_of_floating_point_data_are_missing(self):
        # A run over the cells written as NaN is the reference: read as
        # -999, object 2 would lie far from the rest instead.
        data = np.array([[0, 0], [0, 1], [-999, -999], [5, 5], [5, 6]], float)
        missing = data.copy()
        missing[2] = np.nan
        cases = [("f8", {"_FillValue": -999.0}), ("f4", {"_FillValue": np.float32(-999)}),
                 ("f8", {"missing_value": -999.0}), ("f4", {"missing_value": np.array([-1.5, -999], "f4")})]
        for code, attributes in cases:
            with self.subTest(code=code, attributes=attributes):
                ref = write_with_attributes(self.path("nan.nc"), "x", ("obj", "feat"), missing.astype(code), code)
                self.assertEqual(run(["-i", ref, "-o", self.path("ref.nc"), "-d", "euclidean", "-a", "-R", "1"]).status, 0)
                src = write_with_attributes(self.path("in.nc"), "x", ("obj", "feat"), data.astype(code), code,
                                            **attributes)
                r = self.rows(src)
                self.assertEqual(r.status, 0, r)
                self.assertIn("\n  2 cells of 'x' hold its _FillValue or missing_value and are read as missing "
                              "(NaN)\n", r.stderr)
                got, want = read_nc(self.path("out.nc")), read_nc(self.path("ref.nc"))
                for name in ("row_distance", "row_new2old", "row_left"):
                    np.testing.assert_array_equal(got[name], want[name])

    def test_fill_cells_of_integer_and_character_data_are_kept_with_a_warning(self):
        cases = [("i4", np.array([[0, 0], [0, 1], [-999, -999], [5, 5]], np.int32), {"_FillValue": np.int32(-999)}),
                 ("S1", np.array([[b"a", b"b"], [b"a", b"c"], [b"z", b"z"], [b"q", b"r"]]), {"_FillValue": b"z"})]
        for code, data, attributes in cases:
            with self.subTest(code=code):
                src = write_with_attributes(self.path("in.nc"), "x", ("obj", "feat"), data, code, **attributes)
                r = self.rows(src) if code == "i4" else run(["-i", src, "-o", self.path("out.nc"), "-d", "hamming",
                                                             "-a", "-R", "1"])
                self.assertEqual(r.status, 0, r)
                self.assertIn("WARNING! 2 cells of 'x' hold its _FillValue or missing_value, but integer and "
                              "character values cannot be missing: they are clustered as the values they hold.\n",
                              r.stderr)
                self.assertTrue(np.all(np.isfinite(read_nc(self.path("out.nc"))["row_distance"])))

    def test_values_near_the_fill_value_and_unrepresentable_fill_values_stay_values(self):
        data = np.array([[0, 0], [0, 1], [-998.5, -999.25], [0, 2]], "f4")
        for attributes in ({"_FillValue": np.float32(-999)}, {"missing_value": 1e-50}):
            with self.subTest(attributes=attributes):
                src = write_with_attributes(self.path("in.nc"), "x", ("obj", "feat"), data, "f4", **attributes)
                r = self.rows(src)
                self.assertEqual(r.status, 0, r)
                self.assertNotIn("_FillValue or missing_value", r.stderr)

    def test_fill_entries_of_given_distances_are_left_out(self):
        d = np.array([[0, 1, -1, 4], [1, 0, 3, -1], [-1, 3, 0, 2], [4, -1, 2, 0]], float)
        src = write_with_attributes(self.path("in.nc"), "d", ("obj", "obj2"), d, "f8", missing_value=-1.0)
        r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distmat", "-l", "min"])
        self.assertEqual(r.status, 0, r)
        self.assertIn("  4 cells of 'd' hold its _FillValue or missing_value", r.stderr)
        self.assertEqual(sorted(read_nc(self.path("out.nc"))["distance"][4:].tolist()), [1, 2, 3])
        self.assertTrue(re.search(r"Values of 4 distances were input", r.stderr), r.stderr)


if __name__ == "__main__":
    unittest.main()

"""The copy of the input beside the dendrogram (-O): names that clash with the
dendrogram's and types the output cannot hold are refused before any
distance is computed; the copied variables keep their attributes."""
import os
import subprocess
import unittest

import netCDF4
import numpy as np

from e2e_common import BrivaneTest, ncgen, read_nc, run, write_nc


class BeforeTheRun(BrivaneTest):
    """Refused at once, naming the fault; nothing computed, nothing written."""

    def assert_refused_early(self, args, message):
        r = run(args + ["-o", self.path("out.nc"), "-O", "-R", "1"])
        self.assertEqual(r.status, 1, r)
        self.assertIn(message, r.stderr)
        self.assertNotIn("Calculating distances", r.stderr)
        self.assertNotIn("Inputting distances", r.stderr)
        self.assertNotIn("Random seed", r.stderr)
        self.assertEqual(os.listdir(self.tmp), [os.path.basename(args[1])])
        return r

    def test_input_names_that_clash_with_the_dendrograms(self):
        data = np.random.default_rng(1).random((6, 2))
        rows = ["-d", "euclidean", "-M", "15"]
        distlist = ["-C", "distlist", "-D", "d", "-F", "f", "-T", "t", "-N", "objs"]
        list_vars = [("d", ("m",), [1.0, 2.0], "f8"), ("f", ("m",), [0, 1], "i4"), ("t", ("m",), [1, 2], "i4")]
        cases = [
            ("dimension row_nodes", [("x", ("row_nodes", "feat"), data, "f8")], [], rows, "dimension 'row_nodes'"),
            ("variable row_left", [("x", ("obj", "feat"), data, "f8"), ("row_left", ("obj",), np.zeros(6), "f4")],
             [], rows, "variable 'row_left'"),
            ("variable row_distance under -X", [("x", ("obj", "feat"), data, "f8"),
                                               ("my_distance", ("obj",), np.zeros(6), "f4")],
             [], rows + ["-X", "my_"], "variable 'my_distance'"),
            ("dimension nodes of a list", list_vars, [("objs", 3), ("nodes", 2)], distlist, "dimension 'nodes'"),
            ("variable start of a list", list_vars + [("start", ("m",), [0, 0], "i4")], [("objs", 3)], distlist,
             "variable 'start'"),
        ]
        for what, variables, dims, options, named in cases:
            with self.subTest(what):
                src = write_nc(self.path("in.nc"), variables, dims=dims)
                r = self.assert_refused_early(["-i", src] + options, "ERROR! The input's %s has the name of " % named)
                self.assertIn(" so it cannot be copied into the output! Choose another prefix with -X.\n", r.stderr)
                os.unlink(src)

    def test_clashing_names_are_copied_under_another_prefix_and_ignored_without_copy(self):
        data = np.random.default_rng(1).random((6, 2))
        src = write_nc(self.path("in.nc"), [("x", ("row_nodes", "feat"), data, "f8"),
                                            ("row_left", ("row_nodes",), np.arange(6.0), "f4")])
        for extra in (["-O", "-X", "p_"], []):
            with self.subTest(extra=extra):
                r = run(["-i", src, "-o", self.path("out.nc"), "-d", "euclidean", "-M", "15", "-R", "1"] + extra)
                self.assertEqual(r.status, 0, r)
        out = read_nc(self.path("out.nc"))
        self.assertEqual(out["__dims__"], {"row_nodes": 11})

    def test_a_variable_of_a_type_the_output_cannot_hold(self):
        cdl = "netcdf in4 { dimensions: obj = 4; feat = 2; variables: double x(obj, feat); int64 wide(obj); data: " \
              "x = 0, 1, 2, 3, 4, 5, 6, 7; wide = 1, 2, 3, 4; }"
        with open(self.path("in4.cdl"), "w") as f:
            f.write(cdl)
        subprocess.run(["ncgen", "-k", "nc4", "-o", self.path("in4.nc"), self.path("in4.cdl")], check=True)
        os.unlink(self.path("in4.cdl"))
        self.assert_refused_early(["-i", self.path("in4.nc"), "-d", "euclidean"],
                                  "ERROR! Variable 'wide' is of unsupported type and cannot be output!")


class Attributes(BrivaneTest):
    def test_copied_variables_keep_their_attributes(self):
        src = ncgen(self.path("in.nc"), """netcdf in {
dimensions: obj = 5; feat = 2;
variables:
  float x(obj, feat); x:units = "metre"; x:long_name = "position"; x:_FillValue = -999.f;
    x:valid_range = 0.f, 100.f;
  short code(obj); code:flag_values = 1s, 2s;
  char label(obj);
data:
  x = 0, 0, 0, 1, 9, 9, 9, 8, -999, 3;
  code = 1, 2, 1, 2, 1;
  label = "abcde";
}
""")
        r = run(["-i", src, "-o", self.path("out.nc"), "-d", "euclidean", "-a", "-O", "-R", "1"])
        self.assertEqual(r.status, 0, r)
        with netCDF4.Dataset(self.path("out.nc")) as ds:
            x = ds.variables["x"]
            self.assertEqual(x.units, "metre")
            self.assertEqual(x.long_name, "position")
            self.assertEqual(x._FillValue, np.float32(-999))
            self.assertEqual(x.valid_range.tolist(), [0, 100])
            self.assertEqual(ds.variables["code"].flag_values.tolist(), [1, 2])
            self.assertEqual(ds.variables["label"].ncattrs(), [])
            self.assertEqual(ds.variables["row_left"].ncattrs(), [])
            # the fill cell is copied as it is, and masked by its reader
            order = ds.variables["row_new2old"][:5]
            x.set_auto_mask(False)
            self.assertEqual(x[:][list(order).index(4)].tolist(), [-999, 3])


if __name__ == "__main__":
    unittest.main()

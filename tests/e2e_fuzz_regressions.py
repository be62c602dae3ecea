"""Inputs found by fuzzing (scripts/fuzz.sh), kept in fuzz/regressions/: each
is run through the normal binary in the four settings the file target uses,
and must end with a clear message or a correct result."""
import os
import unittest

from e2e_common import BrivaneTest, read_nc, run

SAVED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz", "regressions")

# The option sets of fuzz/file_main.cc.
SETTINGS = {
    "rows": ["-d", "euc", "-M", "50"],
    "cols": ["-C", "cols", "-d", "spearman", "-M", "50", "-O"],
    "distmat": ["-C", "distmat", "-l", "min"],
    "distlist": ["-C", "distlist", "-F", "f", "-T", "t", "-N", "objs", "-l", "max"],
}


class FuzzRegression(BrivaneTest):
    def run_saved(self, name, setting):
        src = os.path.join(SAVED, name)
        out = self.path("out.nc")
        if os.path.exists(out):
            os.unlink(out)
        r = run(["-i", src, "-o", out, "-m", "0.05", "-R", "1"] + SETTINGS[setting], timeout=120)
        self.assertIn(r.status, (0, 1), r)
        # a failed run leaves neither the output nor its temporary file
        if r.status == 1:
            self.assertEqual(os.listdir(self.tmp), [], r)
        return src, r

    def assert_not_opened(self, name):
        for setting in SETTINGS:
            with self.subTest(setting=setting):
                src, r = self.run_saved(name, setting)
                self.assertEqual(r.status, 1, r)
                self.assertIn("Data input...ERROR! Could not open input file " + src + "\n", r.stderr)

    # Headers whose counts the netCDF library trusts: it crashed, or spent
    # gigabytes, before the program could refuse them.
    def test_header_with_more_than_2e31_dimensions_is_not_opened(self):
        self.assert_not_opened("dimension_count_beyond_2e31.nc")

    def test_header_with_more_dimensions_than_the_file_has_bytes_is_not_opened(self):
        self.assert_not_opened("more_dimensions_than_bytes.nc")

    def test_dimension_name_longer_than_the_file_is_not_opened(self):
        self.assert_not_opened("dimension_name_of_gigabytes.nc")

    # Names the library reads but will not define again: the dendrogram is
    # clustered, the copy of the data cannot be written (it crashed).
    def test_dimension_name_that_cannot_be_copied_fails_the_data_copy_only(self):
        for name, shown in (("clustered_dimension_with_control_character.nc", "'st?tion'"),
                            ("record_dimension_named_with_at_sign.nc", "'@ime'")):
            with self.subTest(name=name):
                _, r = self.run_saved(name, "cols")
                self.assertEqual(r.status, 1, r)
                # refused before the run, not after it
                self.assertIn("ERROR! The output file cannot hold the input's dimension %s: NetCDF: Name contains "
                              "illegal characters\n" % shown, r.stderr)
                self.assertNotIn("Calculating distances", r.stderr)
                _, r = self.run_saved(name, "rows")
                self.assertEqual(r.status, 0, r)
                self.assertEqual(sorted(read_nc(self.path("out.nc"))["row_new2old"][:4].tolist()), list(range(4)))


if __name__ == "__main__":
    unittest.main()

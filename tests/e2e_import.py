"""brivane-import end to end: tables in, NetCDF files out, read back with
netCDF4; every refusal leaves the output folder as it was."""
import os
import re
import subprocess
import unittest

import numpy as np

from e2e_common import BrivaneTest, Result, read_nc, run

IMPORT = os.path.join(os.environ.get("BRIVANE_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "build")),
                      "brivane-import")


def imp(args, stdin=b""):
    proc = subprocess.run([IMPORT] + [str(a) for a in args], input=stdin, capture_output=True, timeout=300)
    return Result(proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1"))


def names(chars):
    """The rows of an ncChar variable as Python strings."""
    return [b"".join(row).rstrip(b"\0").decode("utf-8") for row in chars]


class ImportTest(BrivaneTest):
    def write(self, name, text):
        with open(self.path(name), "wb") as f:
            f.write(text.encode("utf-8") if isinstance(text, str) else text)
        return self.path(name)

    def convert(self, text, args=(), name="t.tsv"):
        """Imports `text` from the file `name`; returns the output's variables."""
        r = imp(list(args) + [self.write(name, text), self.path("out.nc")])
        self.assertEqual(r.status, 0, r)
        return read_nc(self.path("out.nc")), r

    def assertRefused(self, text, message, args=(), name="t.tsv"):
        """The import fails with status 1 and `message`, and leaves nothing behind."""
        source = self.write(name, text)
        before = sorted(os.listdir(self.tmp))
        r = imp(list(args) + [source, self.path("out.nc")])
        self.assertEqual(r.status, 1, r)
        self.assertIn(message, r.stderr, r)
        self.assertEqual(sorted(os.listdir(self.tmp)), before, "no output, no temporary file")
        return r


class RoundTrip(ImportTest):
    def test_tsv_values_names_and_shapes(self):
        nc, _ = self.convert("GENE\tS1\tS2\tS3\ng1\t1.5\t-2\t3e2\ng2\t0.25\t4\t-1e-3\n")
        self.assertEqual(nc["__dims__"], {"rows": 2, "cols": 3, "row_name_len": 2, "col_name_len": 2})
        self.assertEqual(nc["__order__"], ["data", "row_name", "col_name"])
        self.assertEqual(nc["data"].dtype, np.float32)
        np.testing.assert_array_equal(nc["data"], np.float32([[1.5, -2, 300], [0.25, 4, -1e-3]]))
        self.assertEqual(names(nc["row_name"]), ["g1", "g2"])
        self.assertEqual(names(nc["col_name"]), ["S1", "S2", "S3"])

    def test_many_random_rows_come_back_exactly(self):
        rng = np.random.default_rng(7)
        values = rng.standard_normal((3000, 40)).astype(np.float32)
        lines = ["id\t" + "\t".join("c%d" % j for j in range(40))]
        lines += ["row%d\t" % i + "\t".join("%.9g" % v for v in row) for i, row in enumerate(values)]
        nc, _ = self.convert("\n".join(lines) + "\n")
        np.testing.assert_array_equal(nc["data"], values)
        self.assertEqual(names(nc["row_name"])[2999], "row2999")

    def test_double_keeps_every_digit(self):
        nc, _ = self.convert("x\ta\tb\nr\t0.1\t1e-300\n", ["--type=double"])
        self.assertEqual(nc["data"].dtype, np.float64)
        self.assertEqual(nc["data"].tolist(), [[0.1, 1e-300]])

    def test_float_rounds_to_nearest_and_tiny_values_to_zero(self):
        nc, _ = self.convert("x\ta\tb\nr\t0.1\t1e-60\n", ["-t", "float"])
        self.assertEqual(nc["data"].tolist(), [[float(np.float32(0.1)), 0.0]])

    def test_csv_quoted_fields_with_commas_quotes_and_line_breaks(self):
        nc, _ = self.convert('id,"dose, mg","say ""hi""",z\n'
                             '"gene ""A""", 1 ," 2 ",3\n'
                             '"two\nlines",4,5,6\n', name="t.csv")
        self.assertEqual(names(nc["col_name"]), ["dose, mg", 'say "hi"', "z"])
        self.assertEqual(names(nc["row_name"]), ['gene "A"', "two\nlines"])
        np.testing.assert_array_equal(nc["data"], [[1, 2, 3], [4, 5, 6]])

    def test_standard_input_is_tab_delimited(self):
        r = imp(["-", self.path("out.nc")], stdin=b"id\ta\tb\nr1\t1\t2\n")
        self.assertEqual(r.status, 0, r)
        np.testing.assert_array_equal(read_nc(self.path("out.nc"))["data"], [[1, 2]])

    def test_standard_input_as_csv_by_option(self):
        r = imp(["-f", "csv", "-", self.path("out.nc")], stdin=b"id,a,b\nr1,1,2\n")
        self.assertEqual(r.status, 0, r)
        np.testing.assert_array_equal(read_nc(self.path("out.nc"))["data"], [[1, 2]])

    def test_format_follows_the_extension_or_the_option(self):
        for name, args in [("t.TXT", []), ("t.tab", []), ("t.dat", ["--format=tsv"])]:
            nc, _ = self.convert("id\ta\nr\t7\n", args, name=name)
            self.assertEqual(nc["data"].tolist(), [[7]], name)
        nc, _ = self.convert("id,a\nr,7\n", ["--format", "csv"], name="t.txt")
        self.assertEqual(nc["data"].tolist(), [[7]])

    def test_windows_line_ends_byte_order_mark_blank_lines_and_no_final_newline(self):
        nc, _ = self.convert(b"\xef\xbb\xbfid,a,b\r\n\r\nr1, +1 ,2.\r\nr2,.5,-0\r\n\r\n", name="t.csv")
        self.assertEqual(names(nc["col_name"]), ["a", "b"])
        np.testing.assert_array_equal(nc["data"], [[1, 2], [0.5, 0]])
        nc, _ = self.convert("id\ta\nr\t3")
        self.assertEqual(nc["data"].tolist(), [[3]])

    def test_names_of_the_variable_and_dimensions_by_option(self):
        nc, _ = self.convert("id\ta\nr\t1\n", ["-V", "expr", "-r", "genes", "-c", "arrays",
                                               "--row-names=gene", "--col-names=array"])
        self.assertEqual(nc["__order__"], ["expr", "gene", "array"])
        self.assertEqual(set(nc["__dims__"]), {"genes", "arrays", "gene_len", "array_len"})

    def test_a_row_longer_than_the_read_buffer(self):
        wide = "\t".join(["1"] * 700000)
        nc, _ = self.convert("id\t" + "\t".join("c%d" % j for j in range(700000)) + "\nr\t" + wide + "\n")
        self.assertEqual(nc["data"].shape, (1, 700000))
        self.assertEqual(names(nc["col_name"])[-1], "c699999")


class MissingValues(ImportTest):
    def test_every_spelling_becomes_nan_and_is_counted(self):
        nc, r = self.convert("id\ta\tb\tc\td\te\tf\tg\n"
                             "r\tNA\tNaN\tnan\tN/A\t\t  \tna\n"
                             "s\t1\t2\t3\t4\t5\t6\tn/a\n")
        self.assertTrue(np.isnan(nc["data"][0]).all())
        self.assertEqual(np.isnan(nc["data"][1]).tolist(), [False] * 6 + [True])
        self.assertEqual(len(r.stderr.splitlines()), 1, r)
        self.assertRegex(r.stderr, r"Imported 2 rows x 7 columns into .*out\.nc: 8 missing values became NaN")

    def test_a_full_table_reports_none(self):
        _, r = self.convert("id\ta\nr\t1\n")
        self.assertIn(": 0 missing values became NaN", r.stderr)


class Refusals(ImportTest):
    def test_cell_that_is_not_a_number(self):
        for cell in ["abc", "1.5x", "1 2", "--1", "+-1", "0x10", "1,5", "inff"]:
            self.assertRefused("id\ta\tb\nr1\t1\t2\nr2\t3\t%s\n" % cell,
                               "ERROR! Line 3, column 3 ('b'): '%s' is not a number" % cell)

    def test_number_too_large_for_the_type(self):
        self.assertRefused("id\ta\nr\t1e39\n", "ERROR! Line 2, column 2 ('a'): '1e39' is out of the range of ncFloat")
        self.assertRefused("id\ta\nr\t-1e309\n", "is out of the range of ncDouble", ["-t", "double"])

    def test_ragged_rows(self):
        self.assertRefused("id\ta\tb\nr1\t1\t2\nr2\t3\n",
                           "ERROR! Line 3, column 3: the row has 2 cells where the header on line 1 has 3")
        self.assertRefused("id,a,b\nr1,1,2,3\n",
                           "ERROR! Line 2, column 4: the row has 4 cells where the header on line 1 has 3",
                           name="t.csv")
        self.assertRefused("\n\nid\ta\nr\n",
                           "ERROR! Line 4, column 2: the row has 1 cells where the header on line 3 has 2")

    def test_duplicate_column_name(self):
        self.assertRefused("id\ta\tb\ta\nr\t1\t2\t3\n",
                           "ERROR! Line 1, column 4: the column name 'a' is already that of column 2")

    def test_unclosed_and_ill_closed_quotes(self):
        self.assertRefused('id,a\nr,"1\n', "ERROR! Line 2, column 2: the quoted cell is never closed", name="t.csv")
        self.assertRefused('id,a\n"r"x,1\n', "ERROR! Line 2, column 1: text after the closing quote", name="t.csv")

    def test_missing_input_file(self):
        r = imp([self.path("none.tsv"), self.path("out.nc")])
        self.assertEqual(r.status, 1, r)
        self.assertIn("ERROR! Could not open input file %s: No such file or directory" % self.path("none.tsv"),
                      r.stderr)
        self.assertEqual(os.listdir(self.tmp), [])

    def test_tables_without_data(self):
        self.assertRefused("", "ERROR! The input holds no header row")
        self.assertRefused("id\ta\n", "ERROR! The table holds no data rows")
        self.assertRefused("id\nr\n", "ERROR! Line 1: the header names no data column")
        self.assertRefused("id\tNAME\nr\tx\n", "too few for the row names and 2 annotation columns", ["-a", "2"])

    def test_existing_output_is_left_untouched(self):
        with open(self.path("out.nc"), "wb") as f:
            f.write(b"precious")
        self.assertRefused("id\ta\nr\tx\n", "is not a number")
        with open(self.path("out.nc"), "rb") as f:
            self.assertEqual(f.read(), b"precious")

    def test_existing_output_is_replaced_on_success(self):
        self.write("out.nc", "old")
        nc, _ = self.convert("id\ta\nr\t1\n")
        self.assertEqual(nc["data"].tolist(), [[1]])
        self.assertEqual(sorted(os.listdir(self.tmp)), ["out.nc", "t.tsv"])

    def test_unwritable_output_folder(self):
        r = imp([self.write("t.tsv", "id\ta\nr\t1\n"), self.path("no/such/out.nc")])
        self.assertEqual(r.status, 1, r)
        self.assertIn("ERROR! Error writing output file %s" % self.path("no/such/out.nc"), r.stderr)

    def test_column_names_that_collide_as_variables(self):
        self.assertRefused("id\ta b\ta_b\tv\nr\tx\ty\t1\n",
                           "ERROR! Line 1, column 3: the column 'a_b' would be stored as 'a_b', a name already in use",
                           ["-a", "2"])
        self.assertRefused("id\tdata\tv\nr\tx\t1\n", "the column 'data' would be stored as 'data'", ["-a", "1"])


class AnnotationsAndWeights(ImportTest):
    CLUSTER3 = ("UNIQID\tNAME\tGWEIGHT\tGORDER\tarr1\tarr2\n"
                "EWEIGHT\t\t\t\t1\t0.5\n"
                "EORDER\t\t\t\t2\t1\n"
                "YAL001C\tTFC3 tau 138\t1\t2\t0.1\tNA\n"
                "YAL002W\tVPS8\t0.5\t1\t-0.3\t0.7\n")

    def test_cluster3_file_keeps_names_and_weights_apart_from_the_data(self):
        nc, r = self.convert(self.CLUSTER3, ["-a", "1"])
        np.testing.assert_array_equal(nc["data"], np.float32([[0.1, np.nan], [-0.3, 0.7]]))
        self.assertEqual(names(nc["row_name"]), ["YAL001C", "YAL002W"])
        self.assertEqual(names(nc["col_name"]), ["arr1", "arr2"])
        self.assertEqual(names(nc["NAME"]), ["TFC3 tau 138", "VPS8"])
        self.assertEqual(nc["GWEIGHT"].tolist(), [1, 0.5])
        self.assertEqual(nc["GORDER"].tolist(), [2, 1])
        self.assertEqual(nc["EWEIGHT"].tolist(), [1, 0.5])
        self.assertEqual(nc["EORDER"].tolist(), [2, 1])
        self.assertEqual(nc["__dims__"]["rows"], 2)
        self.assertIn(": 1 missing values became NaN", r.stderr)

    def test_weights_can_be_left_out(self):
        nc, _ = self.convert(self.CLUSTER3, ["-a", "1", "--skip-row=EWEIGHT", "--skip-row", "EORDER",
                                             "--skip-col=GWEIGHT", "--skip-col=GORDER"])
        self.assertEqual(nc["__order__"], ["data", "row_name", "col_name", "NAME"])
        self.assertEqual(nc["data"].shape, (2, 2))

    def test_plain_takes_weight_names_as_data(self):
        nc, _ = self.convert("id\tGWEIGHT\ta\nEWEIGHT\t1\t2\nr\t3\t4\n", ["--plain"])
        self.assertEqual(names(nc["row_name"]), ["EWEIGHT", "r"])
        self.assertEqual(names(nc["col_name"]), ["GWEIGHT", "a"])

    def test_cdt_file_with_array_ids_and_two_annotations(self):
        nc, _ = self.convert("GID\tUNIQID\tNAME\tGWEIGHT\tA\tB\n"
                             "AID\t\t\t\tARRY0X\tARRY1X\n"
                             "EWEIGHT\t\t\t\t1\t1\n"
                             "GENE1X\tg1\tfirst\t1\t5\t6\n", ["--annotations=2"])
        self.assertEqual(names(nc["UNIQID"]), ["g1"])
        self.assertEqual(names(nc["NAME"]), ["first"])
        self.assertEqual(nc["data"].tolist(), [[5, 6]])

    def test_own_weight_row_and_column_and_skipped_ones(self):
        nc, r = self.convert("id\tw\tjunk\ta\tb\nweight\t\t\t2\t3\nnote\tx\ty\tz\tq\nr\t0.5\t?\t1\t2\n",
                             ["--keep-row=weight", "--keep-col=w", "--skip-row=note", "--skip-col=junk",
                              "--keep-row=absent"])
        self.assertEqual(nc["weight"].tolist(), [2, 3])
        self.assertEqual(nc["w"].tolist(), [0.5])
        self.assertEqual(nc["data"].tolist(), [[1, 2]])
        self.assertIn("WARNING! No row is named 'absent'", r.stderr)

    def test_annotation_header_becomes_a_usable_name(self):
        nc, _ = self.convert("id\tgene symbol\t2nd\ta\nr\tTP53\tx\t1\n", ["-a", "2"])
        self.assertEqual(names(nc["gene_symbol"]), ["TP53"])
        self.assertEqual(names(nc["_2nd"]), ["x"])

    def test_non_number_in_a_kept_row_is_refused(self):
        self.assertRefused("id\ta\nEWEIGHT\theavy\nr\t1\n", "ERROR! Line 2, column 2 ('a'): 'heavy' is not a number")

    def test_kept_row_given_twice_is_refused(self):
        self.assertRefused("id\ta\nEWEIGHT\t1\nEWEIGHT\t2\nr\t1\n",
                           "ERROR! Line 3: the row 'EWEIGHT' was kept already on line 2")


class CommandLine(ImportTest):
    def test_help_on_standard_output(self):
        for flag in ("-h", "--help"):
            r = imp([flag])
            self.assertEqual(r.status, 0, r)
            self.assertTrue(r.stdout.startswith("Usage: brivane-import [OPTION]... INPUT OUTPUT\n"), r)
            self.assertIn("brivane -i OUTPUT -D data", r.stdout)
            self.assertEqual(r.stderr, "")

    def test_version(self):
        r = imp(["--version"])
        self.assertEqual((r.status, r.stdout), (0, "brivane-import 1.6.0\n"))

    def test_bad_usage_on_standard_error(self):
        for words, message in [(["--bogus", "a.tsv", "b.nc"], "unrecognized option"),
                               (["a.tsv"], "ERROR! Expected an input and an output file name, got 1 names"),
                               (["-f", "xls", "a", "b"], "ERROR! Unknown format 'xls'"),
                               (["-t", "int", "a.tsv", "b"], "ERROR! Unknown type 'int'"),
                               (["-a", "two", "a.tsv", "b"], "ERROR! 'two' is not a count"),
                               (["a.dat", "b.nc"], "ERROR! Cannot tell the format of 'a.dat'"),
                               (["-V", "my data", "a.tsv", "b"], "ERROR! 'my data' is not a usable NetCDF name"),
                               (["-r", "x", "-c", "x", "a.tsv", "b"],
                                "ERROR! The name 'x' is given to more than one"),
                               (["-V", "row_left", "a.tsv", "b"], "one of brivane's output names")]:
            r = imp(words)
            self.assertEqual(r.status, 1, r)
            self.assertIn(message, r.stderr, words)
            self.assertEqual(r.stdout, "")
        self.assertIn("Try 'brivane-import --help'", r.stderr)


class ClusteredByBrivane(ImportTest):
    def test_row_names_follow_the_leaves_into_the_output(self):
        # Three well-separated groups, interleaved so that leaf order differs from row order.
        rng = np.random.default_rng(3)
        centres = [0.0, 10.0, 20.0]
        lines = ["id\tNAME\tGWEIGHT\t" + "\t".join("s%d" % j for j in range(5))]
        for i in range(12):
            row = centres[i % 3] + rng.standard_normal(5) * 0.1
            lines.append("gene%02d\tdesc %d\t%d\t" % (i, i, i) + "\t".join("%.6f" % v for v in row))
        self.convert("\n".join(lines) + "\n", ["-a", "1"])
        r = run(["-i", self.path("out.nc"), "-D", "data", "-d", "euclidean", "-a", "-O",
                 "-o", self.path("clustered.nc")])
        self.assertEqual(r.status, 0, r)
        out = read_nc(self.path("clustered.nc"))
        order = out["row_new2old"][:12]
        self.assertNotEqual(order.tolist(), list(range(12)))
        given = ["gene%02d" % i for i in range(12)]
        self.assertEqual(names(out["row_name"]), [given[k] for k in order])
        self.assertEqual(names(out["NAME"]), ["desc %d" % k for k in order])
        np.testing.assert_array_equal(out["GWEIGHT"], np.float32(order))
        groups = [k % 3 for k in order]
        self.assertEqual(sum(a != b for a, b in zip(groups, groups[1:])), 2, "each group is one run of leaves")


if __name__ == "__main__":
    unittest.main()

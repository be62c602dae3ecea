"""brivane-import on tables that it used to misread or read slowly: a quote
that is never closed, line ends of CR alone, NUL bytes in cells."""
import os
import subprocess
import unittest

import numpy as np

from e2e_common import BrivaneTest, read_nc

BIN = os.environ.get("BRIVANE_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))
IMPORT = os.path.join(BIN, "brivane-import")


class TableTest(BrivaneTest):
    def imported(self, name, data):
        path = self.path(name)
        with open(path, "wb") as f:
            f.write(data)
        out = self.path("out.nc")
        if os.path.exists(out):
            os.unlink(out)
        proc = subprocess.run([IMPORT, path, out], capture_output=True, timeout=300)
        return proc.returncode, proc.stderr.decode("latin-1")


class UnclosedQuotes(TableTest):
    def test_unclosed_quote_is_refused_at_the_line_where_it_opened(self):
        rows = b"".join(b"r%d,1,2\n" % i for i in range(40000))
        cases = {
            "at the start of a long table": (b'name,a,b\nr0,1,2\nr1,"1,2\n' + rows, "Line 3, column 2"),
            "after a closed multi-line cell": (b'name,a,b\n"r\n0",1,"2\n' + rows, "Line 3, column 3"),
            "in the header": (b'name,"a,b\nr0,1,2\n', "Line 1, column 2"),
        }
        for case, (data, where) in cases.items():
            with self.subTest(case=case):
                status, err = self.imported("t.csv", data)
                self.assertEqual(status, 1, err)
                self.assertEqual(err, "ERROR! " + where + ": the quoted cell is never closed\n")

    def test_closed_quotes_across_lines_and_faults_after_them_keep_their_meaning(self):
        status, err = self.imported("t.csv", b'name,"a\nb",c\n"r""1",1,"2"\n')
        self.assertEqual(status, 0, err)
        out = read_nc(self.path("out.nc"))
        self.assertEqual(b"".join(out["col_name"][0]).rstrip(b"\0"), b"a\nb")
        self.assertEqual(b"".join(out["row_name"][0]).rstrip(b"\0"), b'r"1')
        status, err = self.imported("t.csv", b'name,a,b\nr1,"1"x,"2\n')
        self.assertEqual((status, err), (1, "ERROR! Line 2, column 2: text after the closing quote\n"))


class LineEnds(TableTest):
    def test_cr_alone_lf_and_cr_lf_read_alike(self):
        lines = [b"name\ta\tb", b"r1\t1\t2", b"r2\t3\tNA", b"r3\t5\t6"]
        expected = None
        for ending in (b"\n", b"\r\n", b"\r"):
            with self.subTest(ending=ending):
                status, err = self.imported("t.tsv", ending.join(lines) + ending)
                self.assertEqual(status, 0, err)
                self.assertIn("Imported 3 rows x 2 columns", err)
                data = read_nc(self.path("out.nc"))["data"]
                if expected is None:
                    expected = data
                np.testing.assert_array_equal(data, expected)
        status, err = self.imported("t.csv", b'name,a\r"r\r1",1\rr2,2')
        self.assertEqual(status, 0, err)
        self.assertIn("Imported 2 rows x 1 columns", err)


class NulBytes(TableTest):
    def test_a_nul_byte_is_named_wherever_it_is(self):
        cases = {
            "data cell": (b"name\ta\tb\nr1\t1\x002\t3\n", "Line 2, column 2"),
            "row name": (b"name\ta\nr\x001\t1\n", "Line 2, column 1"),
            "header": (b"name\ta\x00\tb\nr1\t1\t2\n", "Line 1, column 2"),
            "quoted csv cell": (b'name,a\nr1,"\x00"\n', "Line 2, column 2"),
        }
        for case, (data, where) in cases.items():
            with self.subTest(case=case):
                status, err = self.imported("t.csv" if b'"' in data else "t.tsv", data)
                self.assertEqual((status, err), (1, "ERROR! " + where + ": the cell holds a NUL byte\n"))


if __name__ == "__main__":
    unittest.main()

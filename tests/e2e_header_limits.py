"""Headers that crashed the netCDF library's legacy interface or had it read
what is not there: names, dimension and variable counts beyond its fixed
arrays (classic and netCDF-4 files), headers found by fuzzing, files cut
short, record counts beyond the file.  brivane and brivane-export refuse
them alike, before the interface reads them, with a message naming the
limit where one was passed."""
import os
import shutil
import struct
import subprocess
import unittest

import netCDF4
import numpy as np

from e2e_common import BrivaneTest, run, write_nc
from e2e_export import THREE, write_tree

BIN = os.environ.get("BRIVANE_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))
EXPORT = os.path.join(BIN, "brivane-export")
SAVED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz", "regressions")


def export(args):
    proc = subprocess.run([EXPORT] + [str(a) for a in args], capture_output=True, timeout=300)
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")


def name_bytes(text):
    data = text.encode()
    return struct.pack(">i", len(data)) + data + b"\0" * (-len(data) % 4)


def classic_header(dims=1, variables=1, var_dims=1, atts=0, name_length=3):
    """A CDF-1 file of int variables over dimensions of length 1, names of
    name_length bytes, `atts` char attributes on the first variable."""
    def name(k):
        return ("v%d_" % k).ljust(name_length, "x")[:name_length] if name_length >= 4 else "abc"[:name_length]
    out = b"CDF\x01" + struct.pack(">i", 0)
    out += struct.pack(">ii", 10, dims) + b"".join(name_bytes(name(d)) + struct.pack(">i", 1) for d in range(dims))
    out += struct.pack(">ii", 0, 0)
    out += struct.pack(">ii", 11, variables)
    for v in range(variables):
        out += name_bytes(name(v)) + struct.pack(">i", var_dims)
        out += b"".join(struct.pack(">i", k % dims) for k in range(var_dims))
        if v == 0 and atts:
            out += struct.pack(">ii", 12, atts)
            out += b"".join(name_bytes("a%d" % a) + struct.pack(">ii", 2, 1) + b"x\0\0\0" for a in range(atts))
        else:
            out += struct.pack(">ii", 0, 0)
        out += struct.pack(">iii", 4, 4, 0)
    return out + b"\0" * 64


class Limits(BrivaneTest):
    def refused_by_both(self, path, message):
        r = run(["-i", path, "-o", self.path("out.nc"), "-d", "euclidean"])
        self.assertEqual(r.status, 1, r)
        self.assertIn(message, r.stderr)
        status, out, err = export(["linkage", "-t", path, "-o", self.path("out.txt")])
        self.assertEqual(status, 1, err)
        self.assertIn(message, err)
        status, out, err = export(["newick", "-t", write_tree(self.path("t.nc"), THREE), "-i", path,
                                   "-o", self.path("out.txt")])
        self.assertEqual(status, 1, err)
        self.assertIn(message, err)
        self.assertEqual(sorted(os.listdir(self.tmp)), sorted(["t.nc", os.path.basename(path)]))

    def test_classic_headers_beyond_the_interfaces_arrays(self):
        cases = {
            "a name of 257 bytes": (dict(name_length=257), "holds a name of 257 bytes; at most 256 can be read!"),
            "a name of 5000 bytes": (dict(name_length=5000), "holds a name of 5000 bytes; at most 256 can be read!"),
            "an attribute name of 300 bytes": (None, "holds a name of 300 bytes; at most 256 can be read!"),
            "8193 variables": (dict(variables=8193), "holds 8193 variables; at most 8192 can be read!"),
            "8300 variables": (dict(variables=8300), "holds 8300 variables; at most 8192 can be read!"),
            "1025 dimensions": (dict(dims=1025), "holds 1025 dimensions; at most 1024 can be read!"),
            "9000 attributes": (dict(atts=9000), "holds 9000 attributes in one list; at most 8192 can be read!"),
        }
        for case, (shape, message) in cases.items():
            with self.subTest(case=case):
                path = self.path("bad.nc")
                if shape is None:
                    data = classic_header(atts=1)
                    data = data.replace(name_bytes("a0"), name_bytes("a" * 300))
                else:
                    data = classic_header(**shape)
                with open(path, "wb") as f:
                    f.write(data)
                self.refused_by_both(path, "ERROR! The file " + path + " " + message)

    def test_netcdf4_headers_beyond_the_interfaces_arrays(self):
        path = self.path("four.nc")
        with netCDF4.Dataset(path, "w", format="NETCDF4") as ds:
            for d in range(1025):
                ds.createDimension("d%d" % d, 1)
            ds.createVariable("x", "f8", ("d0", "d1"))
        self.refused_by_both(path, "ERROR! The file " + path + " holds 1025 dimensions; at most 1024 can be read!")

    def test_classic_file_at_the_limits_is_read(self):
        path = self.path("edge.nc")
        with netCDF4.Dataset(path, "w", format="NETCDF3_CLASSIC") as ds:
            ds.createDimension("o" * 256, 3)
            ds.createDimension("f", 2)
            var = ds.createVariable("x" * 256, "f8", ("o" * 256, "f"))
            var.setncattr("a" * 256, "text")
            var[...] = np.arange(6.0).reshape(3, 2)
        r = run(["-i", path, "-o", self.path("out.nc"), "-d", "euclidean", "-R", "1"])
        self.assertEqual(r.status, 0, r)


class ExportInputGuards(BrivaneTest):
    def fails(self, args, message):
        status, out, err = export(args)
        self.assertEqual(status, 1, err)
        self.assertIn(message, err)
        self.assertEqual(out, "")

    def test_headers_found_by_fuzzing_are_not_opened(self):
        for name in sorted(os.listdir(SAVED)):
            with self.subTest(file=name):
                src = os.path.join(SAVED, name)
                status, out, err = export(["linkage", "-t", src, "-o", "-"])
                self.assertEqual(status, 1, err)
                self.assertTrue(err.startswith("ERROR! "), err)

    def test_tree_file_cut_short_or_promising_more_records_than_it_has(self):
        whole = write_tree(self.path("whole.nc"), THREE)
        with open(whole, "rb") as f:
            data = f.read()
        with open(self.path("cut.nc"), "wb") as f:
            f.write(data[:-8])
        # The nodes along an unlimited dimension whose record count is then
        # set to 2^31-1: the library would have the arrays allocated first.
        records = self.path("records.nc")
        with netCDF4.Dataset(records, "w", format="NETCDF3_CLASSIC") as ds:
            ds.createDimension("row_nodes", None)
            for name in ("left", "right", "new2old"):
                ds.createVariable("row_" + name, "i4", ("row_nodes",))[:] = np.zeros(5, np.int32)
            ds.createVariable("row_distance", "f8", ("row_nodes",))[:] = np.zeros(5)
        with open(records, "r+b") as f:
            f.seek(4)
            f.write(struct.pack(">i", 2 ** 31 - 1))
        for name in ("cut.nc", "records.nc"):
            with self.subTest(file=name):
                self.fails(["linkage", "-t", self.path(name), "-o", "-"],
                           "ERROR! Could not open dendrogram file " + self.path(name))
                self.fails(["newick", "-t", whole, "-i", self.path(name), "-o", "-"],
                           "ERROR! Could not open input file " + self.path(name))


if __name__ == "__main__":
    unittest.main()

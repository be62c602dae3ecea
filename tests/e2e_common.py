"""Shared helpers for the end-to-end tests: run the real brivane binary, make
NetCDF input files, read output files.

The binary comes from the BRIVANE environment variable (CTest sets it)."""
import os
import subprocess
import tempfile
import unittest

import netCDF4
import numpy as np

BRIVANE = os.environ.get("BRIVANE", os.path.join(os.path.dirname(__file__), "..", "build", "brivane"))


class Result:
    def __init__(self, status, stdout, stderr):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr

    def __repr__(self):
        return "status=%d\n--- stdout\n%s--- stderr\n%s" % (self.status, self.stdout, self.stderr)


def run(args, cwd=None, timeout=300, preexec_fn=None, env=None):
    """Run brivane with the given words; returns status, stdout and stderr."""
    proc = subprocess.run([BRIVANE] + [str(a) for a in args], cwd=cwd, capture_output=True,
                          timeout=timeout, preexec_fn=preexec_fn, env=env)
    return Result(proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1"))


def ncgen(path, cdl):
    """Make a classic-format NetCDF file from CDL text."""
    cdl_path = path + ".cdl"
    with open(cdl_path, "w") as f:
        f.write(cdl)
    subprocess.run(["ncgen", "-b", "-k", "classic", "-o", path, cdl_path], check=True)
    os.unlink(cdl_path)
    return path


def write_nc(path, variables, dims=None):
    """Make a classic-format NetCDF file.

    variables: list of (name, dimension names, numpy array, NetCDF type code
    such as 'f8', 'f4', 'i4', 'S1', 'i2', 'i1').  dims: optional list of
    (name, length) to define first, in that order; the rest are taken from
    the arrays."""
    with netCDF4.Dataset(path, "w", format="NETCDF3_CLASSIC") as ds:
        for name, length in dims or []:
            ds.createDimension(name, length)
        for name, dnames, values, code in variables:
            values = np.asarray(values)
            for dname, length in zip(dnames, values.shape):
                if dname not in ds.dimensions:
                    ds.createDimension(dname, length)
            var = ds.createVariable(name, code, dnames)
            var.set_auto_maskandscale(False)
            if values.size:
                var[...] = values
    return path


def read_nc(path):
    """Read every variable of a NetCDF file: dict name -> numpy array, plus
    the dimension lengths under the key '__dims__'."""
    out = {}
    with netCDF4.Dataset(path) as ds:
        ds.set_auto_mask(False)
        for name, var in ds.variables.items():
            out[name] = var[...].copy()
        out["__dims__"] = {name: len(d) for name, d in ds.dimensions.items()}
        out["__order__"] = list(ds.variables.keys())
    return out


class BrivaneTest(unittest.TestCase):
    """A test case with a temporary folder of its own."""

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.tmp = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, name):
        return os.path.join(self.tmp, name)

"""Classic-format NetCDF files in and out: netCDF4 when installed, else SciPy's reader and writer."""
import numpy as np

try:
    import netCDF4
except ImportError:  # SciPy's own classic-format module does the same, with more copies
    netCDF4 = None

# What the program calls ncChar: signed 8-bit values, stored as text bytes.
CHAR = np.dtype(np.int8)


def write(path, dimensions, variables):
    """Writes a new file.  dimensions: (name, length) pairs; variables:
    (name, dimension names, array) triples, the arrays of type int8 (written
    as char), int32, float32 or float64."""
    if netCDF4 is not None:
        with netCDF4.Dataset(path, "w", format="NETCDF3_64BIT_OFFSET") as ds:
            ds.set_fill_off()  # every value is written once, without a fill pass first
            for name, length in dimensions:
                ds.createDimension(name, length)
            for name, dims, values in variables:
                char = values.dtype == CHAR
                var = ds.createVariable(name, "S1" if char else values.dtype, dims)
                var.set_auto_maskandscale(False)
                if char:
                    var.set_auto_chartostring(False)
                var[...] = values.view("S1") if char else values
        return
    from scipy.io import netcdf_file
    f = netcdf_file(path, "w", version=2)
    try:
        for name, length in dimensions:
            f.createDimension(name, length)
        for name, dims, values in variables:
            char = values.dtype == CHAR
            var = f.createVariable(name, "c" if char else values.dtype, dims)
            var[...] = values.view("S1") if char else values
    finally:
        f.close()


class Reader:
    """A file open for reading: `shapes` maps each variable to its dimension
    names, `lengths` each dimension to its length, `types` each variable to its
    dtype (char variables as 'S1'); `get(name)` reads a whole variable in
    native byte order."""

    def __init__(self, path):
        if netCDF4 is not None:
            self._ds = netCDF4.Dataset(path, "r")
            self._ds.set_auto_mask(False)
            self._ds.set_auto_chartostring(False)
            variables = self._ds.variables
            self.lengths = {name: len(d) for name, d in self._ds.dimensions.items()}
        else:
            from scipy.io import netcdf_file
            self._ds = netcdf_file(path, "r", mmap=False)
            variables = self._ds.variables
            self.lengths = {}
            for var in variables.values():
                self.lengths.update(zip(var.dimensions, var.shape))
            for name, length in self._ds.dimensions.items():
                self.lengths.setdefault(name, length or 0)
        self._vars = variables
        self.shapes = {name: tuple(v.dimensions) for name, v in variables.items()}
        self.types = {name: np.dtype(v.dtype if netCDF4 is not None else v.data.dtype)
                      for name, v in variables.items()}

    def get(self, name):
        var = self._vars[name]
        values = np.asarray(var[...]) if var.shape else np.asarray(var.getValue())
        if values.dtype.kind != "S" and not values.dtype.isnative:
            values = values.astype(values.dtype.newbyteorder("="))
        return np.array(values)

    def close(self):
        self._ds.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

"""The package's own build: brivane._engine compiled from this source tree's
engine (src/core, include) and the binding (python/src/engine.cc), so that
`pip install ./python` needs no build of the programs.  The settings of the
project are in pyproject.toml."""
import glob
import os

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
# The engine's sources: the tree's own, or where BRIVANE_SOURCE points.
SOURCE = os.path.abspath(os.environ.get("BRIVANE_SOURCE", os.path.join(HERE, "..")))
CORE = os.path.join(SOURCE, "src", "core")
if not os.path.isdir(CORE):
    raise SystemExit("the brivane engine's sources are not at %s: build from the brivane source tree, "
                     "or set BRIVANE_SOURCE to it" % CORE)

# setuptools takes the sources relative to this folder only; their objects
# land under build/ all the same.
sources = [os.path.join("src", "engine.cc")] + [os.path.relpath(path, HERE)
                                               for path in sorted(glob.glob(os.path.join(CORE, "*.cc")))]
ParallelCompile("BRIVANE_BUILD_JOBS", default=2).install()

setup(
    ext_modules=[Pybind11Extension(
        "brivane._engine", sources, cxx_std=17,
        include_dirs=[os.path.join(SOURCE, "include"), CORE], define_macros=[("NDEBUG", None)],
        # As the CMake build: the engine's threads are OpenMP's, and its
        # store and heap functions stay inlinable in position-independent code.
        extra_compile_args=["-O3", "-fopenmp", "-fno-semantic-interposition"],
        extra_link_args=["-fopenmp"])],
    cmdclass={"build_ext": build_ext},
)

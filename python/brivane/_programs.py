"""Where the brivane programs are: BRIVANE_BIN, else beside the package, else PATH."""
import os
import shutil

try:
    # Written by the build and the install: the folder of the programs,
    # relative to this package's folder.
    from ._layout import PROGRAMS_FROM_PACKAGE
except ImportError:  # the package used straight from the source tree
    PROGRAMS_FROM_PACKAGE = None

from ._errors import BrivaneError


def _executable(path):
    return os.path.isfile(path) and os.access(path, os.X_OK)


def program(name="brivane"):
    """The path of one of the programs (brivane, brivane-import, brivane-export).

    BRIVANE_BIN may name the folder that holds the programs or the brivane
    program itself (its companions are then looked for beside it)."""
    given = os.environ.get("BRIVANE_BIN")
    if given:
        if os.path.isdir(given):
            path = os.path.join(given, name)
        elif name == "brivane":
            path = given
        else:
            path = os.path.join(os.path.dirname(given), name)
        if not _executable(path):
            raise BrivaneError("no program '%s' where BRIVANE_BIN points (%s)" % (name, given))
        return path
    if PROGRAMS_FROM_PACKAGE is not None:
        folder = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), PROGRAMS_FROM_PACKAGE))
        path = os.path.join(folder, name)
        if _executable(path):
            return path
    path = shutil.which(name)
    if path:
        return path
    raise BrivaneError("the program '%s' was not found: build brivane, or set BRIVANE_BIN to the folder "
                       "that holds it, or put it on PATH" % name)

"""One run of the library in this process (brivane._engine): its report, its progress bar, its failure."""
import sys

from ._errors import BrivaneError

try:
    from . import _engine
    MISSING = None
except ImportError as e:  # the package used from the source tree, or built without pybind11
    _engine, MISSING = None, str(e)

try:
    import tqdm
except ImportError:
    tqdm = None


def _echo(piece):
    # sys.stderr looked up at each piece: a caller may redirect it.
    sys.stderr.write(piece)
    sys.stderr.flush()


class _Bar:
    """tqdm's bar for each long phase of a run, in percent."""

    def __init__(self):
        self._bar = None

    def begin(self, text):
        self.close()
        self._bar = tqdm.tqdm(total=100, desc=text.strip().rstrip("."), unit="%", leave=False, file=sys.stderr,
                              bar_format="{desc}: {percentage:3.0f}%|{bar}| {elapsed}<{remaining}")

    def update(self, share, seconds):
        if self._bar is not None:
            self._bar.update(min(100.0, 100.0 * share) - self._bar.n)

    def end(self):
        self.close()

    def close(self):
        if self._bar is not None:
            self._bar.close()
            self._bar = None


def run(source, options, verbose=False, progress=False):
    """The library's run over `source` (an _api._Source) with `options` (the
    fields of brivane::Options): a dict of the tree's node arrays (left,
    right, start, end, old2new, new2old, distance) with the run's report and
    summary line.  Raises BrivaneError when the run fails, KeyboardInterrupt
    when Ctrl-C stops it, and whatever a progress bar raised."""
    if _engine is None:
        raise BrivaneError("the package's compiled part (brivane._engine) is missing: build it with cmake or pip "
                           "(see python/README.md); %s" % MISSING)
    if options.get("num_distances") == 0:
        # The library reads 0 as "not given" (the time budget decides); the
        # program's -M 0 asks for the least count, as any count below it does.
        options = dict(options, num_distances=-1)
    bar = _Bar() if progress and tqdm is not None else None
    # Without tqdm the progress is the report's own lines, as the program shows them.
    echo = _echo if verbose or (progress and bar is None) else None
    try:
        if source.matrix is not None:
            return _engine.cluster_matrix(source.matrix, options, echo, bar)
        return _engine.cluster_list(source.objects, source.rows, source.cols, source.values, options, echo, bar)
    except _engine.RunFailed as failure:
        message, status, report = failure.args
        # A message of several lines (a budget refusal and what would do) as one.
        raise BrivaneError("ERROR! " + " ".join(message.splitlines()), status, report) from None
    finally:
        if bar is not None:
            bar.close()

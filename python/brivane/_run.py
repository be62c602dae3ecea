"""One run of a brivane program in a child process: its lines, its warnings, its failure."""
import contextlib
import os
import signal
import subprocess
import sys
import threading
import warnings

from ._errors import BrivaneError, BrivaneWarning

# The signals that end a process by default and ask it to end, not to dump:
# a run caught by one of them cleans up before the interpreter ends by it.
ENDING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


def _failure(status, err, out):
    """The BrivaneError for a run that ended with `status`."""
    lines = err.splitlines()
    for k, line in enumerate(lines):
        # A phase's name stays on its line until the phase ends, so the error
        # may follow it there.
        if "ERROR!" in line:
            message = line[line.index("ERROR!"):]
            # A memory refusal says on its next line how much would do.
            if k + 1 < len(lines) and lines[k + 1].startswith("This run needs"):
                message += " " + lines[k + 1]
            return BrivaneError(message, status, err)
    if status < 0:
        try:
            name = signal.Signals(-status).name
        except ValueError:
            name = "signal %d" % -status
        return BrivaneError("brivane was ended by %s" % name, status, err)
    # The netCDF library writes its own errors to standard output.
    last = [line for line in (lines or out.splitlines()) if line.strip()]
    return BrivaneError(last[-1] if last else "brivane failed without a message", status, err)


def split_warnings(lines):
    """(the progress lines, the WARNING messages) of a run's standard error.
    A phase's name stays on its line until the phase ends, so a warning may
    follow it there: the name stays among the progress lines."""
    phases, found = [], []
    for line in lines:
        if "WARNING!" in line:
            at = line.index("WARNING!")
            found.append(line[at:].rstrip())
            line = line[:at].rstrip()
            if not line.strip():
                continue
        phases.append(line)
    return phases, found


def warn(message):
    """Issues a BrivaneWarning at the caller's line outside this package."""
    level, frame = 1, sys._getframe(0)
    package = __name__.rpartition(".")[0] + "."
    while frame is not None and frame.f_globals.get("__name__", "").startswith(package):
        frame, level = frame.f_back, level + 1
    warnings.warn(message, BrivaneWarning, stacklevel=level)


class _Ended(BaseException):
    """A terminating signal arrived during a run (a BaseException, so that no
    `except Exception` of the caller's swallows it)."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


@contextlib.contextmanager
def ending_cleanly():
    """Within it, SIGTERM or SIGHUP (where they would end the interpreter at
    once) unwind the stack first, so that the child is ended and the
    temporary files are removed; then the interpreter ends by the signal
    as it would have.  A handler of the caller's own is left in place, and
    only the main thread can have handlers."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    arrived = []

    def handler(signum, frame):
        if not arrived:  # a second signal must not break off the cleanup of the first
            arrived.append(signum)
            raise _Ended(signum)

    replaced = {}
    for signum in ENDING_SIGNALS:
        if signal.getsignal(signum) == signal.SIG_DFL:
            replaced[signum] = signal.signal(signum, handler)
    try:
        yield
    finally:
        for signum, previous in replaced.items():
            signal.signal(signum, previous)
        if arrived:
            # The default action again: the interpreter ends here, by the signal.
            os.kill(os.getpid(), arrived[0])


def _echo(stream, keep):
    for line in iter(stream.readline, ""):
        keep.append(line)
        sys.stderr.write(line)
        sys.stderr.flush()


def run(words, verbose=False):
    """Runs the program words[0] with the other words; returns the lines it
    wrote to standard error.  Raises BrivaneError when it fails.  The child
    never outlives the call: an interrupt (or any exception) kills it."""
    proc = subprocess.Popen([str(w) for w in words], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, errors="replace")
    try:
        if verbose:
            err_lines, out_lines = [], []
            # Both pipes are drained at once, so that neither can fill up.
            reader = threading.Thread(target=lambda: out_lines.append(proc.stdout.read()), daemon=True)
            reader.start()
            _echo(proc.stderr, err_lines)
            reader.join()
            proc.wait()
            out, err = "".join(out_lines), "".join(err_lines)
        else:
            out, err = proc.communicate()
    except BaseException:
        proc.kill()
        proc.wait()
        raise
    finally:
        proc.stdout.close()
        proc.stderr.close()
    if proc.returncode != 0:
        raise _failure(proc.returncode, err, out)
    return err.splitlines()

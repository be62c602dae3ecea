"""One run of a brivane program in a child process: its lines, its failure."""
import signal
import subprocess
import sys
import threading

from ._errors import BrivaneError


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

#!/usr/bin/python3
"""Records every brivane run of the end-to-end tests and replays them with
another binary, comparing standard output, standard error, exit status and
the files written: the check that a change which must not move any output
(a refactoring) moves none.

  bench/transcript.py record DIR [BUILD]    run the end-to-end tests of BUILD
                                            (default build/) and keep each run
  bench/transcript.py check DIR [BRIVANE]   replay every kept run with BRIVANE
                                            (default build/brivane); exit 1
                                            naming each run that differs

A run is kept with copies of the files its words name, so that it can be
replayed anywhere.  Record replays each run twice more with the recording
binary: a run whose results differ from themselves (a time budget, a clock
seed, a signal, a FIFO) is compared with every digit masked, or skipped
when even that differs.  Timings ("0.12 sec") are always masked.
"""
import glob
import hashlib
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MAX_COPY = 64 << 20

TIMINGS = [
    (re.compile(r"-?\d+(\.\d+)?(e[-+]?\d+)? sec\b"), "# sec"),
    (re.compile(r"-?\d+(\.\d+)?(e[-+]?\d+)? s\b"), "# s"),
    (re.compile(r"Program running time was .*"), "Program running time was #"),
    (re.compile(r"Random seed from time = -?\d+"), "Random seed from time = #"),
]
DIGITS = re.compile(r"\d+")


def mask(text, placeholders, all_digits=False):
    # Longest paths first, so that a folder does not take a piece of its file.
    for path, name in sorted(placeholders.items(), key=lambda p: -len(p[0])):
        text = text.replace(path, name)
    for pattern, repl in TIMINGS:
        text = pattern.sub(repl, text)
    if all_digits:
        text = DIGITS.sub("#", text)
    return text


def digest(path):
    if not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


# -- the wrapper: runs in place of the binary while the tests record --------

def wrap(argv):
    store = os.environ["TRANSCRIPT_DIR"]
    real = os.environ["TRANSCRIPT_REAL"]
    cwd = os.getcwd()
    entry = tempfile.mkdtemp(dir=store, prefix="run-")
    words, files, placeholders = [], [], {}
    for word in argv:
        path = os.path.join(cwd, word) if not os.path.isabs(word) else word
        if "/" not in word and not os.path.exists(path):
            words.append(word)
            continue
        name = "@@P%d@@" % len(files)
        kind = "absent"
        try:
            st = os.stat(path)
            if stat.S_ISREG(st.st_mode) and st.st_size <= MAX_COPY:
                kind = "file"
                shutil.copyfile(path, os.path.join(entry, name))
            elif stat.S_ISDIR(st.st_mode):
                kind = "dir"
            else:
                kind = "other"
        except OSError:
            if os.path.isdir(os.path.dirname(path) or "."):
                kind = "absent-in-folder"
        files.append({"kind": kind, "base": os.path.basename(path)})
        placeholders[word] = name
        placeholders[path] = name
        words.append(name)
    proc = subprocess.run([real] + argv, capture_output=True)
    sys.stdout.buffer.write(proc.stdout)
    sys.stderr.buffer.write(proc.stderr)
    outputs = {}
    for word, name in placeholders.items():
        if name not in outputs:
            outputs[name] = digest(os.path.join(cwd, word) if not os.path.isabs(word) else word)
    record = {
        "words": words, "files": files, "status": proc.returncode,
        "stdout": mask(proc.stdout.decode("latin-1"), placeholders),
        "stderr": mask(proc.stderr.decode("latin-1"), placeholders),
        "outputs": outputs,
        "replayable": all(f["kind"] != "other" for f in files) and proc.returncode >= 0,
    }
    with open(os.path.join(entry, "run.json"), "w") as f:
        json.dump(record, f)
    return proc.returncode


# -- replay ------------------------------------------------------------------

def replay(entry, record, binary):
    with tempfile.TemporaryDirectory() as tmp:
        placeholders, words = {}, []
        paths = {}
        for i, f in enumerate(record["files"]):
            name = "@@P%d@@" % i
            folder = os.path.join(tmp, "p%d" % i)
            path = os.path.join(folder, f["base"])
            if f["kind"] == "dir":
                os.makedirs(path)
            elif f["kind"] == "file":
                os.makedirs(folder)
                shutil.copyfile(os.path.join(entry, name), path)
            elif f["kind"] == "absent-in-folder":
                os.makedirs(folder)
            paths[name] = path
            placeholders[path] = name
        for w in record["words"]:
            words.append(paths.get(w, w))
        proc = subprocess.run([binary] + words, capture_output=True, stdin=subprocess.DEVNULL,
                              cwd=tmp, timeout=600)
        return {
            "status": proc.returncode,
            "stdout": mask(proc.stdout.decode("latin-1"), placeholders),
            "stderr": mask(proc.stderr.decode("latin-1"), placeholders),
            "outputs": {name: digest(p) for name, p in paths.items()},
        }


def differences(record, got, all_digits):
    found = []
    for key in ("status", "outputs"):
        if not all_digits and record[key] != got[key]:
            found.append(key)
    for key in ("stdout", "stderr"):
        if mask(record[key], {}, all_digits) != mask(got[key], {}, all_digits):
            found.append(key)
    return found


def entries(store):
    for entry in sorted(glob.glob(os.path.join(store, "run-*"))):
        path = os.path.join(entry, "run.json")
        if os.path.exists(path):
            with open(path) as f:
                yield entry, path, json.load(f)


def record(store, build):
    os.makedirs(store, exist_ok=True)
    wrapper = os.path.join(store, "brivane")
    with open(wrapper, "w") as f:
        f.write("#!/bin/sh\nexec /usr/bin/python3 %s wrap \"$@\"\n" % os.path.abspath(__file__))
    os.chmod(wrapper, 0o755)
    env = dict(os.environ, BRIVANE=wrapper, BRIVANE_BIN_DIR=build, TRANSCRIPT_DIR=store,
               TRANSCRIPT_REAL=os.path.join(build, "brivane"),
               PYTHONPATH=os.path.join(ROOT, "tests"))
    for script in sorted(glob.glob(os.path.join(ROOT, "tests", "e2e_*.py"))):
        if script.endswith("e2e_common.py") or "e2e_python" in script:
            continue
        subprocess.run(["/usr/bin/python3", script], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=1200)
    # Each run twice more with the same binary: what moves by itself is
    # compared with its digits masked, or not at all.
    kept = masked = skipped = 0
    for entry, path, rec in entries(store):
        rec["compare"] = "skip"
        if rec["replayable"]:
            again = [replay(entry, rec, os.path.join(build, "brivane")) for _ in range(2)]
            if not any(differences(rec, got, False) for got in again):
                rec["compare"] = "exact"
            elif not any(differences(rec, got, True) for got in again):
                rec["compare"] = "digits"
        with open(path, "w") as f:
            json.dump(rec, f)
        kept += rec["compare"] == "exact"
        masked += rec["compare"] == "digits"
        skipped += rec["compare"] == "skip"
    print("%d runs compared exactly, %d with digits masked, %d skipped" % (kept, masked, skipped))


def check(store, binary):
    status = 0
    counts = {"same": 0, "differ": 0}
    for entry, _, rec in entries(store):
        if rec.get("compare", "skip") == "skip":
            continue
        got = replay(entry, rec, binary)
        found = differences(rec, got, rec["compare"] == "digits")
        if found:
            status = 1
            counts["differ"] += 1
            print("DIFFERENT (%s): %s" % (", ".join(found), " ".join(rec["words"])))
            if "stderr" in found:
                print("  recorded: %r\n  now:      %r" % (rec["stderr"][-300:], got["stderr"][-300:]))
        else:
            counts["same"] += 1
    print("%(same)d runs the same, %(differ)d different" % counts)
    return status


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "wrap":
        return wrap(sys.argv[2:])
    if len(sys.argv) < 3 or sys.argv[1] not in ("record", "check"):
        print(__doc__, file=sys.stderr)
        return 2
    if sys.argv[1] == "record":
        return record(os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3] if len(sys.argv) > 3
                                                                    else os.path.join(ROOT, "build")))
    return check(os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3] if len(sys.argv) > 3
                                                               else os.path.join(ROOT, "build", "brivane")))


if __name__ == "__main__":
    sys.exit(main())

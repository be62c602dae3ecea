"""Outputs of all three programs (brivane -o and -Y, brivane-import,
brivane-export in its formats) on targets that are not plain new files:
links, devices, FIFOs, sockets, the input itself, a write that fails, a long
name, an interrupt.  An output is written whole or not at all, and nothing
but the output is ever replaced or left behind."""
import errno
import os
import resource
import signal
import socket
import stat
import subprocess
import tempfile
import threading
import time
import unittest

import numpy as np

from e2e_common import BRIVANE, BrivaneTest, write_nc
from e2e_export import chain, write_tree

BIN = os.environ.get("BRIVANE_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "build"))
IMPORT = os.path.join(BIN, "brivane-import")
EXPORT = os.path.join(BIN, "brivane-export")

TABLE = "name\ta\tb\tc\nr1\t1\t2\t3\nr2\t2\t2\t9\nr3\t0\t1\t3\nr4\t5\t5\t5\n"


def call(words, env=None, limit=None):
    def preexec():
        if limit is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    proc = subprocess.run([str(w) for w in words], capture_output=True, timeout=300, env=env,
                          preexec_fn=preexec)
    return proc.returncode, proc.stderr.decode("latin-1")


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class OutputTest(BrivaneTest):
    def setUp(self):
        super().setUp()
        os.mkdir(self.path("in"))
        self.table = self.path("in/t.tsv")
        with open(self.table, "w") as f:
            f.write(TABLE)
        self.data = write_nc(self.path("in/d.nc"), [("x", ("obj", "f"), np.arange(15.0).reshape(5, 3) ** 1.5, "f8")])
        self.tree = write_tree(self.path("in/tree.nc"), chain(4))

    def programs(self, out):
        """Each program's command line writing `out`, by a short name."""
        return {
            "brivane -o": [BRIVANE, "-i", self.data, "-d", "euclidean", "-R", "1", "-o", out],
            "brivane -Y": [BRIVANE, "-i", self.data, "-d", "euclidean", "-R", "1", "-o", self.path("in/o.nc"),
                           "-Y", out],
            "import": [IMPORT, "-f", "tsv", self.table, out],
            "export linkage": [EXPORT, "linkage", "-t", self.tree, "-o", out],
            "export newick": [EXPORT, "newick", "-t", self.tree, "-o", out],
            "export picture": [EXPORT, "picture", "-t", self.tree, "-o", out + ".svg"],
        }

    def reference(self, name):
        """What the program writes to a plain new file."""
        out = self.path("in/ref")
        words = self.programs(out)[name]
        self.assertEqual(call(words)[0], 0, name)
        path = out + ".svg" if name == "export picture" else out
        data = read_bytes(path)
        os.unlink(path)
        return data


class TargetKinds(OutputTest):
    def test_symbolic_links_are_followed_and_stay_links(self):
        os.mkdir(self.path("real"))
        for name in self.programs("x"):
            with self.subTest(program=name):
                suffix = ".svg" if name == "export picture" else ""
                target = self.path("real/target" + suffix)
                with open(target, "w") as f:
                    f.write("earlier")
                link = self.path("link")
                os.symlink("real/target" + suffix, link + suffix)
                status, err = call(self.programs(link)[name])
                self.assertEqual(status, 0, err)
                self.assertTrue(os.path.islink(link + suffix))
                if name not in ("brivane -o", "brivane -Y", "export picture"):
                    self.assertEqual(read_bytes(target), self.reference(name))
                else:
                    self.assertNotEqual(read_bytes(target), b"earlier")
                self.assertEqual(os.listdir(self.path("real")), ["target" + suffix])
                os.unlink(link + suffix)
                os.unlink(target)

    def test_fifo_gets_the_whole_output_and_stays_a_fifo(self):
        env = dict(os.environ, TMPDIR=self.path("in"))
        for name in ("brivane -o", "import", "export newick"):
            with self.subTest(program=name):
                fifo = self.path("fifo")
                os.mkfifo(fifo)
                got = []
                reader = threading.Thread(target=lambda: got.append(read_bytes(fifo)))
                reader.start()
                status, err = call(self.programs(fifo)[name], env=env)
                reader.join(60)
                self.assertEqual(status, 0, err)
                self.assertTrue(stat.S_ISFIFO(os.lstat(fifo).st_mode))
                expected = self.reference(name)
                if name == "brivane -o":
                    self.assertEqual(got[0][:4], b"CDF\x01")
                    self.assertEqual(len(got[0]), len(expected))
                else:
                    self.assertEqual(got[0], expected)
                os.unlink(fifo)
                self.assertEqual(sorted(os.listdir(self.path("in"))), ["d.nc", "t.tsv", "tree.nc"])

    def test_dev_stdout_into_a_pipe_gets_the_output(self):
        for name in ("brivane -o", "import", "export newick"):
            with self.subTest(program=name):
                proc = subprocess.run([str(w) for w in self.programs("/dev/stdout")[name]], capture_output=True,
                                      env=dict(os.environ, TMPDIR=self.path("in")), timeout=300)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                expected = self.reference(name)
                if name == "brivane -o":
                    # after whatever brivane printed itself; the seed is fixed, the bytes are not compared
                    self.assertEqual(proc.stdout.find(b"CDF\x01"), len(proc.stdout) - len(expected))
                else:
                    self.assertEqual(proc.stdout, expected)
                self.assertEqual(sorted(os.listdir(self.path("in"))), ["d.nc", "t.tsv", "tree.nc"])

    def test_the_join_line_goes_to_standard_error_when_the_output_is_standard_output(self):
        # The join's summary line belongs on standard output, except where
        # the output file is standard output itself: there it would corrupt
        # the file.  -M 10 is every pair of the five objects, so that the
        # bytes do not depend on the machine's speed.
        reference = self.path("in/ref.nc")
        words = [BRIVANE, "-i", self.data, "-d", "euclidean", "-R", "1", "-M", "10", "-o"]
        self.assertEqual(call(words + [reference])[0], 0)
        expected = read_bytes(reference)
        env = dict(os.environ, TMPDIR=self.path("in"))
        for target in ("/dev/stdout", "/proc/self/fd/1", "/dev/fd/1"):
            with self.subTest(target=target):
                proc = subprocess.run([str(w) for w in words + [target]], capture_output=True, env=env, timeout=300)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(proc.stdout, expected)
                self.assertRegex(proc.stderr.decode("latin-1"), r"\nneg_res1 = \d+  neg_res2 = \d+\n")
        with self.subTest(target="a file"):
            proc = subprocess.run([str(w) for w in words + [self.path("in/o.nc")]], capture_output=True, timeout=300)
            self.assertEqual(proc.returncode, 0, proc.stderr)
            self.assertRegex(proc.stdout.decode("latin-1"), r"^neg_res1 = \d+  neg_res2 = \d+\n$")
            self.assertEqual(read_bytes(self.path("in/o.nc")), expected)

    @unittest.skipUnless(os.geteuid() == 0, "making a device node needs root")
    def test_character_device_is_written_through_and_never_replaced(self):
        device = self.path("null")
        os.mknod(device, 0o666 | stat.S_IFCHR, os.makedev(1, 3))  # what /dev/null is
        env = dict(os.environ, TMPDIR=self.path("in"))
        for name in self.programs(device):
            if name == "export picture":
                continue
            with self.subTest(program=name):
                status, err = call(self.programs(device)[name], env=env)
                self.assertEqual(status, 0, err)
                st = os.lstat(device)
                self.assertTrue(stat.S_ISCHR(st.st_mode))
                self.assertEqual(st.st_rdev, os.makedev(1, 3))

    def test_sockets_and_folders_are_refused(self):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.bind(self.path("socket"))
        os.mkdir(self.path("folder"))
        for target in ("socket", "folder"):
            for name, words in self.programs(self.path(target)).items():
                if name == "export picture":
                    continue
                with self.subTest(program=name, target=target):
                    status, err = call(words)
                    self.assertEqual(status, 1, err)
                    self.assertIn("ERROR! ", err)
        sock.close()
        self.assertTrue(stat.S_ISSOCK(os.lstat(self.path("socket")).st_mode))
        self.assertEqual(sorted(os.listdir(self.tmp)), ["folder", "in", "socket"])


def unwritable_reason(folder):
    """The system's reason why no file can be made in `folder`."""
    try:
        os.close(tempfile.mkstemp(dir=folder)[0])
    except OSError as e:
        return e.strerror
    raise AssertionError("%s is writable" % folder)


class Unwritable(OutputTest):
    def test_an_output_that_cannot_be_written_is_refused_before_any_work_with_the_reason(self):
        os.mkdir(self.path("folder"))
        targets = {"a folder": (self.path("folder"), os.strerror(errno.EISDIR)),
                   "a missing folder": (self.path("missing/out"), os.strerror(errno.ENOENT)),
                   # sysfs makes no files, whoever asks
                   "a folder without permission": ("/sys/brivane_out", unwritable_reason("/sys"))}
        if os.geteuid() != 0:
            os.mkdir(self.path("locked"), 0o555)
            targets["a folder of another's"] = (self.path("locked/out"), os.strerror(errno.EACCES))
        starts = {"brivane -o": "ERROR! Error writing output file ", "brivane -Y": "ERROR! Error writing quality file ",
                  "import": "ERROR! Error writing output file ", "export linkage": "ERROR! Could not write output file ",
                  "export newick": "ERROR! Could not write output file "}
        for kind, (target, reason) in targets.items():
            for name, start in starts.items():
                with self.subTest(target=kind, program=name):
                    status, err = call(self.programs(target)[name])
                    self.assertEqual(status, 1, err)
                    if name == "brivane -Y" and kind == "a folder":
                        self.assertIn("ERROR! The quality file is a folder: " + target + "\n", err)
                    else:
                        self.assertIn(start + target + ": " + reason + "\n", err)
                    self.assertNotIn("Calculating distances", err)
                    self.assertNotIn("Data input", err)
        self.assertEqual(sorted(os.listdir(self.path("folder"))), [])
        self.assertEqual(sorted(os.listdir(self.path("in"))), ["d.nc", "t.tsv", "tree.nc"])

    def test_the_companion_programs_find_an_unwritable_output_before_reading_their_input(self):
        # An input with a fault further in: the output's fault is told first.
        with open(self.path("in/bad.tsv"), "w") as f:
            f.write(TABLE + "r5\t1\n")
        target = self.path("missing/out")
        cases = {
            "import": ([IMPORT, "-f", "tsv", self.path("in/bad.tsv"), target], "ERROR! Error writing output file "),
            "export newick": ([EXPORT, "newick", "-t", self.tree, "-L", "nosuch", "-o", target],
                              "ERROR! Could not write output file "),
            "export picture": ([EXPORT, "picture", "-t", self.tree, "-i", self.data, "-D", "nosuch", "-o",
                                target + ".svg"], "ERROR! Could not write output file "),
        }
        for name, (words, start) in cases.items():
            with self.subTest(program=name):
                status, err = call(words)
                self.assertEqual(status, 1, err)
                self.assertTrue(err.startswith(start + target), err)
                self.assertIn(": " + os.strerror(errno.ENOENT) + "\n", err)


class OwnInput(OutputTest):
    def test_an_output_that_is_an_input_is_refused_and_the_input_kept(self):
        os.symlink("in/tree.nc", self.path("tree_link.nc"))
        os.symlink("in/t.tsv", self.path("table_link.tsv"))
        os.link(self.data, self.path("data_hard.png"))
        before = {p: read_bytes(p) for p in (self.tree, self.table, self.data)}
        cases = [
            ([EXPORT, "newick", "-t", self.tree, "-o", self.tree], "ERROR! The output file is an input file itself!"),
            ([EXPORT, "linkage", "-t", self.tree, "-o", self.path("tree_link.nc")], "ERROR! The output file is an"),
            ([EXPORT, "picture", "-t", self.tree, "-i", self.data, "-o", self.path("data_hard.png")],
             "ERROR! The output file is an"),
            ([EXPORT, "treeview", "-t", self.tree, "-i", self.path("in/tree.nc.cdt"), "-o", self.tree],
             "ERROR! The output file is an"),
            ([IMPORT, self.table, self.table], "ERROR! The output file is the input file itself!"),
            ([IMPORT, "-f", "tsv", self.path("table_link.tsv"), self.table], "ERROR! The output file is the input"),
        ]
        # The treeview case: the .cdt of base OUT is the -i file.
        os.symlink("d.nc", self.path("in/tree.nc.cdt"))
        for words, message in cases:
            with self.subTest(words=words[1:]):
                status, err = call(words)
                self.assertEqual(status, 1, err)
                self.assertIn(message, err)
        for path, data in before.items():
            self.assertEqual(read_bytes(path), data, path)


class FailedWrites(OutputTest):
    def test_a_write_beyond_the_file_size_limit_keeps_the_earlier_files(self):
        big_tree = write_tree(self.path("in/big.nc"), chain(20000))
        wide = write_nc(self.path("in/wide.nc"),
                        [("x", ("row", "col"), np.random.RandomState(2).rand(20000, 30), "f8")])
        many = write_nc(self.path("in/many.nc"), [("x", ("obj", "f"), np.random.RandomState(1).rand(300, 3), "f8")])
        with open(self.path("in/big.tsv"), "w") as f:
            f.write("name\t" + "\t".join("c%d" % j for j in range(50)) + "\n")
            for i in range(3000):
                f.write("r%d\t" % i + "\t".join("1.5" for j in range(50)) + "\n")
        out = self.path("out")
        cases = {
            "brivane -o": [BRIVANE, "-i", many, "-d", "euclidean", "-R", "1", "-o", out],
            "import": [IMPORT, self.path("in/big.tsv"), out],
            "export newick": [EXPORT, "newick", "-t", big_tree, "-o", out],
            "export linkage": [EXPORT, "linkage", "-t", big_tree, "-o", out],
            "export treeview": [EXPORT, "treeview", "-t", big_tree, "-i", wide, "-o", out],
        }
        for name, words in cases.items():
            with self.subTest(program=name):
                earlier = [out, out + ".cdt", out + ".gtr"] if name == "export treeview" else [out]
                for path in earlier:
                    with open(path, "w") as f:
                        f.write("earlier")
                # Room for the .gtr of 20000 leaves, not for the .cdt.
                status, err = call(words, limit=3 << 20 if name == "export treeview" else 4096)
                self.assertEqual(status, 1, err)
                self.assertIn("ERROR! ", err)
                for path in earlier:
                    self.assertEqual(read_bytes(path), b"earlier", path)
                self.assertEqual(sorted(os.listdir(self.tmp)), sorted(["in"] + [os.path.basename(p) for p in earlier]))
                for path in earlier:
                    os.unlink(path)

    def test_an_output_name_of_the_longest_length_is_written(self):
        for name in ("brivane -o", "brivane -Y", "import", "export newick"):
            with self.subTest(program=name):
                out = self.path("n" * 255)
                status, err = call(self.programs(out)[name])
                self.assertEqual(status, 0, err)
                self.assertEqual(sorted(os.listdir(self.tmp)), ["in", "n" * 255])
                os.unlink(out)


class Interrupts(OutputTest):
    def wait_for_the_waiting_file(self, spool, proc):
        # The check of the output before the run makes and removes a file of
        # its own in the spool; the file that waits for the reader stays.
        deadline = time.monotonic() + 120
        seen_since = None
        while proc.poll() is None and time.monotonic() < deadline:
            if not os.listdir(spool):
                seen_since = None
            elif seen_since is None:
                seen_since = time.monotonic()
            elif time.monotonic() - seen_since > 0.3:
                break
            time.sleep(0.02)
        self.assertTrue(os.listdir(spool), "the temporary file appears")

    def test_a_terminating_signal_while_the_output_waits_leaves_no_temporary_file(self):
        # Writing into a FIFO waits for its reader, with the complete output
        # in a temporary file: the moment for a signal.
        spool = self.path("spool")
        os.mkdir(spool)
        env = dict(os.environ, TMPDIR=spool)
        for name, sig in (("brivane -o", signal.SIGTERM), ("import", signal.SIGINT), ("export newick", signal.SIGTERM)):
            with self.subTest(program=name, signal=sig):
                fifo = self.path("fifo")
                os.mkfifo(fifo)
                proc = subprocess.Popen([str(w) for w in self.programs(fifo)[name]], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.wait_for_the_waiting_file(spool, proc)
                proc.send_signal(sig)
                self.assertEqual(proc.wait(60), -sig)
                self.assertEqual(os.listdir(spool), [])
                self.assertTrue(stat.S_ISFIFO(os.lstat(fifo).st_mode))
                os.unlink(fifo)

    def test_every_signal_that_ends_the_program_while_the_output_waits_leaves_no_temporary_file(self):
        spool = self.path("spool")
        os.mkdir(spool)
        env = dict(os.environ, TMPDIR=spool)

        def no_core_files():
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

        signals = [signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM, signal.SIGVTALRM, signal.SIGPROF,
                   signal.SIGXCPU, signal.SIGPOLL, signal.SIGPWR, signal.SIGRTMIN, signal.SIGRTMAX]
        for sig in signals:
            for name in ("brivane -o", "import"):
                with self.subTest(program=name, signal=sig):
                    fifo = self.path("fifo_%s_%d" % (name[0], sig))
                    os.mkfifo(fifo)
                    proc = subprocess.Popen([str(w) for w in self.programs(fifo)[name]], env=env,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                            preexec_fn=no_core_files)
                    self.wait_for_the_waiting_file(spool, proc)
                    proc.send_signal(sig)
                    self.assertEqual(proc.wait(60), -sig)
                    left = os.listdir(spool)
                    for f in left:
                        os.unlink(os.path.join(spool, f))
                    self.assertEqual(left, [])


if __name__ == "__main__":
    unittest.main()

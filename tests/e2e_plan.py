"""The run's plan: where its line stands among the phase lines, the warning
when the minimum count overruns the time budget, the memory a refused run
needs, and the progress drawn only on a terminal."""
import os
import pty
import re
import unittest

import numpy as np

from e2e_common import BRIVANE, BrivaneTest, read_nc, run, write_nc

PLAN = r"^Plan: join [0-9.]+ s, random pairs [0-9.]+ s, clustering [0-9.]+ s, output [0-9.]+ s \((.*)\)$"
ALL_PAIRS_PLAN = r"^Plan: all pairs [0-9.]+ s, clustering [0-9.]+ s, output [0-9.]+ s \((.*)\)$"


def groups(n, c, seed=1):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 5, (6, c))
    return centres[rng.integers(0, 6, n)] + rng.normal(0, 1, (n, c))


def terminal_view(text):
    """The lines a terminal shows.  Every redraw goes back to the line's start
    and writes the whole line, then clears what is left of the old one; so
    the last part after a carriage return is what stays."""
    lines = []
    for raw in text.replace("\r\n", "\n").split("\n"):
        parts = [p for p in raw.split("\r") if p]
        lines.append(parts[-1].replace("\033[K", "") if parts else "")
    return lines


class PlanLine(BrivaneTest):
    def data(self, n=400, c=8):
        return write_nc(self.path("in.nc"), [("x", ("obj", "feat"), groups(n, c), "f8")])

    def plan_lines(self, stderr):
        return [k for k, line in enumerate(stderr.splitlines()) if line.startswith("Plan:")]

    def test_plan_line_comes_once_just_before_the_distances(self):
        # 400 objects have 79,800 pairs, which 10 MB cannot hold in the
        # store: the budget picks a count of them.
        cases = [
            (["-t", "5", "-m", "0.01", "-E", "store"], "time budget 5 s"),
            (["-M", "8000"], "count given"),
            (["-M", "8000", "-s", "0"], "count given"),
        ]
        for options, tail in cases:
            r = run(["-i", self.data(), "-o", self.path("out.nc"), "-d", "euclidean", "-R", "3"] + options)
            self.assertEqual(r.status, 0, r)
            lines = r.stderr.splitlines()
            at = self.plan_lines(r.stderr)
            self.assertEqual(len(at), 1, r)
            self.assertEqual(re.match(PLAN, lines[at[0]]).group(1), tail, r)
            self.assertEqual(lines[at[0] + 1], "Calculating distances...", r)
            if "-s" not in options:
                self.assertTrue(lines[at[0] - 1].startswith("  Estimated epsilon is "), r)

    def test_all_pairs_have_their_own_plan_line(self):
        r = run(["-i", self.data(n=60), "-o", self.path("out.nc"), "-d", "euclidean", "-a", "-R", "1"])
        self.assertEqual(r.status, 0, r)
        self.assertRegex(r.stderr, r"\nPlan: all pairs [0-9.]+ s, clustering [0-9.]+ s, output [0-9.]+ s "
                                   r"\(all pairs asked for\)\nCalculating distances\.\.\.\n")

    def test_budget_below_the_minimum_warns_by_how_much_and_goes_on(self):
        r = run(["-i", self.data(n=3000, c=50), "-o", self.path("out.nc"), "-d", "euclidean", "-R", "1",
                 "-t", "0.001"])
        self.assertEqual(r.status, 0, r)
        m = re.search(r"\nWARNING! The time budget of 0\.001 s cannot hold the minimum of 20 distances per "
                      r"object: the run is planned at ([0-9.]+) s, ([0-9.]+) s \(([0-9]+)%\) over the budget\.\n",
                      r.stderr)
        self.assertIsNotNone(m, r)
        self.assertGreater(float(m.group(2)), 0)
        self.assertIn("  Values of 60000 distances were calculated\n", r.stderr)

    def test_join_past_its_share_of_the_budget_stops_and_random_pairs_fill_the_least(self):
        # Nothing of the budget is left for the join but the milliseconds
        # its plan gave it: where it stops, its pairs so far stay, and the
        # random pairs make up the 20 per object all the same.
        r = run(["-i", self.data(n=3000, c=50), "-o", self.path("out.nc"), "-d", "euclidean", "-R", "1",
                 "-t", "0.001"])
        self.assertEqual(r.status, 0, r)
        if "The join stopped" in r.stderr:
            self.assertRegex(r.stderr, r"\n    [0-9]+ distances calculated\n"
                                       r"    The join stopped at its share of the time budget; random pairs take "
                                       r"the rest\n")
        self.assertIn("  Values of 60000 distances were calculated\n", r.stderr)
        # A count given runs its whole join, whatever it takes.
        m = run(["-i", self.data(n=3000, c=50), "-o", self.path("out.nc"), "-d", "euclidean", "-R", "1",
                 "-M", "60000"])
        self.assertEqual(m.status, 0, m)
        self.assertNotIn("The join stopped", m.stderr)
        self.assertNotIn("Plan for the rest", m.stderr)

    def test_budgeted_run_replans_its_count_after_the_first_random_pairs(self):
        # 10 MB hold about 40,000 of the 79,800 pairs of 400 objects in the
        # store; the re-planned count is what the run computes, within memory
        # and never below 20 per object.
        r = run(["-i", self.data(), "-o", self.path("out.nc"), "-d", "euclidean", "-R", "1", "-t", "30",
                 "-m", "0.01", "-E", "store"])
        self.assertEqual(r.status, 0, r)
        lines = r.stderr.splitlines()
        at = [k for k, line in enumerate(lines) if line.startswith("  Plan for the rest: ")]
        self.assertEqual(len(at), 1, r)
        self.assertTrue(lines[at[0] - 1].startswith("  Calculating random pairs... "), r)
        m = re.match(r"^  Plan for the rest: random pairs [0-9.]+ s, clustering [0-9.]+ s, output [0-9.]+ s "
                     r"\(([0-9]+) distances\)$", lines[at[0]])
        self.assertIsNotNone(m, r)
        count = int(m.group(1))
        self.assertIn("  Values of %d distances were calculated\n" % count, r.stderr)
        self.assertGreaterEqual(count, 20 * 400)
        self.assertLessEqual(count * 250, 0.01 * 2**30)

    def test_tiny_budgeted_runs_plan_finite_phases(self):
        # The calibration's scratch stores at their smallest: two objects,
        # one thread; fewer objects than pivots.
        for n, more in [(2, ["-j", "1"]), (3, ["-j", "2"]), (15, ["-j", "1"]), (40, [])]:
            r = run(["-i", self.data(n=n), "-o", self.path("out.nc"), "-d", "euclidean", "-R", "1", "-t", "5"]
                    + more)
            self.assertEqual(r.status, 0, (n, more, r))
            plans = [line for line in r.stderr.splitlines() if line.startswith("Plan:")]
            self.assertEqual(len(plans), 1, (n, more, r))
            # So few pairs fit any budget: all of them are computed.
            self.assertRegex(plans[0], ALL_PAIRS_PLAN, (n, more))
            self.assertNotIn("cannot hold", r.stderr, (n, more))
            self.assertTrue(os.path.exists(self.path("out.nc")))

    def test_budget_that_holds_the_minimum_gives_no_warning(self):
        r = run(["-i", self.data(n=300), "-o", self.path("out.nc"), "-d", "euclidean", "-R", "1", "-t", "30"])
        self.assertEqual(r.status, 0, r)
        self.assertNotIn("cannot hold", r.stderr)
        # 300 objects have 44850 pairs; thirty seconds reach far beyond them.
        self.assertIn("  Values of 44850 distances were calculated\n", r.stderr)

    def test_budget_that_holds_every_pair_computes_them_all_at_once(self):
        # Every pair fits thirty seconds: no join, no random pairs drawn again
        # and again near all of them, and the tree of -a.
        data = self.data(n=300)
        r = run(["-i", data, "-o", self.path("t.nc"), "-d", "euclidean", "-R", "1", "-t", "30"])
        self.assertEqual(r.status, 0, r)
        lines = r.stderr.splitlines()
        at = self.plan_lines(r.stderr)
        self.assertEqual(len(at), 1, r)
        self.assertEqual(re.match(ALL_PAIRS_PLAN, lines[at[0]]).group(1), "time budget 30 s", r)
        self.assertEqual(lines[at[0] + 1], "Calculating distances...", r)
        self.assertTrue(lines[at[0] + 2].startswith("  Calculating all pairwise distances... "), r)
        self.assertNotIn("Calculating random pairs", r.stderr)
        self.assertNotIn("similarity heuristics based pairs", r.stderr)
        self.assertIn("  Values of 44850 distances were calculated\n", r.stderr)
        a = run(["-i", data, "-o", self.path("a.nc"), "-d", "euclidean", "-R", "1", "-a"])
        self.assertEqual(a.status, 0, a)
        timed, every = read_nc(self.path("t.nc")), read_nc(self.path("a.nc"))
        for name in every["__order__"]:
            np.testing.assert_array_equal(timed[name], every[name], name)

    def test_budget_short_of_every_pair_prices_the_draws_that_repeat_pairs(self):
        # 10 MB hold about half of the 79,800 pairs of 400 objects in the
        # store: the count is drawn, and its plan line names random pairs.
        r = run(["-i", self.data(), "-o", self.path("out.nc"), "-d", "euclidean", "-R", "1", "-t", "30",
                 "-m", "0.01", "-E", "store"])
        self.assertEqual(r.status, 0, r)
        plan = [line for line in r.stderr.splitlines() if line.startswith("Plan:")]
        self.assertEqual(len(plan), 1, r)
        self.assertRegex(plan[0], PLAN, r)
        self.assertIn("  Calculating random pairs... ", r.stderr)

    def test_memory_refusal_names_the_budget_the_minimum_needs(self):
        # 100 x 2 doubles take 1600 bytes; 2000 distances 500000 in the store
        # (501600 bytes), 132000 in the compact engine, which takes a run
        # that the store cannot hold (133600 bytes).
        data = write_nc(self.path("small.nc"), [("x", ("obj", "feat"), groups(100, 2), "f8")])
        for options in (["-M", "1000", "-E", "store"], ["-t", "5", "-E", "store"], ["-M", "1000"], ["-t", "5"]):
            memory = 400000 if "store" in options else 100000
            r = run(["-i", data, "-o", self.path("out.nc"), "-d", "euclidean", "-m", str(memory / 2**30)]
                    + options)
            self.assertEqual(r.status, 1, r)
            self.assertTrue(r.stderr.endswith("ERROR! Insufficient memory to calculate enough distances\n"
                                              "This run needs -m 0.01 or more (gigabytes).\n"), r)
            self.assertNotIn("pivot", r.stderr)


class Progress(BrivaneTest):
    def options(self):
        data = write_nc(self.path("in.nc"), [("x", ("obj", "feat"), groups(60000, 10).astype(np.float32), "f4")])
        return ["-i", data, "-o", self.path("out.nc"), "-d", "euclidean", "-R", "2", "-M", "2500000", "-s", "0"]

    def test_progress_is_drawn_on_a_terminal_and_leaves_todays_lines(self):
        options = self.options()
        plain = run(options)
        self.assertEqual(plain.status, 0, plain)
        # Not a terminal: no carriage return, no escape sequence.
        self.assertNotIn("\r", plain.stderr)
        self.assertNotIn("\033", plain.stderr)

        pid, fd = pty.fork()
        if pid == 0:
            os.execv(BRIVANE, [BRIVANE] + options)
        out = b""
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        _, status = os.waitpid(pid, 0)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0)
        text = out.decode("latin-1")
        self.assertRegex(text, r"\r  Calculating random pairs\.\.\.  [0-9]+% done")
        # What the terminal shows at the end: the same lines, timings aside.
        timeless = lambda lines: [re.sub(r"[0-9.e+-]+ sec", "sec", l) for l in lines if l]
        shown = timeless(terminal_view(text))
        expected = timeless(plain.stderr.splitlines())
        # The join's summary goes to standard output, which the terminal shares.
        shown = [l for l in shown if not l.startswith("neg_res1")]
        self.assertEqual([re.sub(r"Plan: .*", "Plan", l) for l in shown],
                         [re.sub(r"Plan: .*", "Plan", l) for l in expected])


if __name__ == "__main__":
    unittest.main()

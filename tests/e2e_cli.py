"""The command line of the real binary: help, version and the refusals that
end the run before any input is read."""
import os
import unittest

from e2e_common import BrivaneTest, run

TITLE = "brivane - Approximate hierarchical clustering using similarity heuristics - Ver. 1.6.0"


class HelpAndVersion(BrivaneTest):
    def test_help_prints_usage_on_stdout_with_status_zero(self):
        for flag in ("-?", "--help"):
            r = run([flag])
            self.assertEqual(r.status, 0, r)
            self.assertTrue(r.stdout.startswith(TITLE + "\nUSAGE:  brivane [ -<flag> | --<name> ]... []\n"), r)
            self.assertIn("-i, --input", r.stdout)
            self.assertIn("Input file (NetCDF format)", r.stdout)
            self.assertEqual(r.stderr, "")

    def test_help_after_other_options_still_wins(self):
        r = run(["-i", "in.nc", "-d", "euclid", "-?"])
        self.assertEqual(r.status, 0, r)
        self.assertTrue(r.stdout.startswith(TITLE), r)

    def test_usage_lists_every_option_once(self):
        out = run(["-?"]).stdout
        for flag, name in [("i", "input"), ("D", "data"), ("C", "cluster"), ("N", "num-objects"),
                           ("F", "from"), ("T", "to"), ("o", "output"), ("X", "prefix"),
                           ("O", "output-data"), ("l", "linkage"), ("d", "distance"),
                           ("p", "minkowski-p"), ("m", "memory"), ("t", "time"),
                           ("M", "num-distances"), ("a", "all-pairwise"), ("s", "prop-similar"),
                           ("q", "num-pivots"), ("R", "random-seed"), ("Z", "sample-size"),
                           ("P", "pivot-strategy"), ("Q", "pivot-quantile"),
                           ("S", "split-threshold"), ("Y", "quality"), ("j", "threads"),
                           ("E", "engine"), ("U", "missing")]:
            self.assertEqual(out.count("-%s, --%s " % (flag, name)), 1, name)

    def test_version_prints_the_version_text(self):
        for words in (["-v"], ["--version"], ["-v", "v"]):
            r = run(words)
            self.assertEqual(r.status, 0, r)
            self.assertTrue(r.stdout.startswith(TITLE + "\n"), r)


class Refusals(BrivaneTest):
    def assertRefused(self, words, message):
        r = run(words)
        self.assertEqual(r.status, 1, r)
        self.assertIn(message, r.stderr, r)
        self.assertIn(TITLE, r.stderr, "the usage text follows the message")
        self.assertEqual(r.stderr.count(message), 1, r)
        return r

    def test_flag_given_twice(self):
        self.assertRefused(["-m", "1", "-m", "2"], "only one memory option allowed")

    def test_all_pairwise_conflicts_with_time_and_count(self):
        self.assertRefused(["-a", "-t", "3"], "the 'time' and 'all-pairwise' options conflict")
        self.assertRefused(["-a", "-M", "100"], "the 'num-distances' and 'all-pairwise' options conflict")

    def test_unknown_flag(self):
        self.assertRefused(["-x"], "illegal option -- x")
        self.assertRefused(["--nonsense"], "illegal option -- nonsense")

    def test_value_attached_to_the_flag_is_not_a_value(self):
        self.assertRefused(["--memory=3"], "The 'memory' option cannot have an argument.")

    def test_value_that_is_not_a_number(self):
        self.assertRefused(["-M", "abc"], "ERROR! Option --num-distances: 'abc' is not an integer (a whole number "
                                          "such as 120, 1e6 or 2.5e7)!\n")
        self.assertRefused(["-m", "lots"], "ERROR! Option --memory: 'lots' is not a floating-point number!\n")
        self.assertRefused(["-R", "4294967296"],
                           "ERROR! Option --random-seed: '4294967296' is out of range (-2147483648 to 2147483647)!\n")
        self.assertRefused(["-j", "two"], "ERROR! Option --threads: 'two' is not an integer")

    def test_count_that_is_only_partly_an_integer(self):
        # Each was read as its leading digits (500k as 500, 1e6 as 1) without a word.
        for flag, name in [("-M", "num-distances"), ("-j", "threads"), ("-q", "num-pivots"),
                           ("-R", "random-seed"), ("-Z", "sample-size"), ("-S", "split-threshold")]:
            for word in ("500k", "1.5", "2e-1", "12abc", "0x10", "1e"):
                with self.subTest(flag=flag, word=word):
                    self.assertRefused([flag, word], "ERROR! Option --%s: '%s' is not an integer" % (name, word))

    def test_count_in_exponent_notation_beyond_the_range(self):
        # A count of pairs is 64-bit; the other counts stay 32-bit.
        for flag, name, word in [("-M", "num-distances", "1e19"), ("-M", "num-distances", "-9.3e18"),
                                 ("-M", "num-distances", "99999999999999999999"), ("-q", "num-pivots", "3e9"),
                                 ("-j", "threads", "1e10"), ("-R", "random-seed", "-2.2e9")]:
            with self.subTest(flag=flag, word=word):
                self.assertRefused([flag, word], "ERROR! Option --%s: '%s' is out of range" % (name, word))

    def test_real_followed_by_other_text(self):
        for flag, name, word in [("-m", "memory", "2GB"), ("-t", "time", "30s"), ("-Q", "pivot-quantile", "0.9q"),
                                 ("-m", "memory", "1.2.3"), ("-t", "time", "0x10")]:
            with self.subTest(flag=flag, word=word):
                self.assertRefused([flag, word], "ERROR! Option --%s: '%s' is not a floating-point number!\n"
                                   % (name, word))
        self.assertRefused(["-M", "9", "-s", "0.5x"],
                           "ERROR! Option --prop-similar: '0.5x' is not a floating-point number!\n")
        self.assertRefused(["-d", "mink", "-p", "3rd"],
                           "ERROR! Option --minkowski-p: '3rd' is not a floating-point number!\n")

    def test_keywords_of_the_engine_and_missing_values(self):
        self.assertRefused(["-E", "fast"], "'AUTO' 'STORE' 'DENSE'")
        # "p" begins both keywords of --missing.
        self.assertRefused(["-U", "p"], "'PROPAGATE' 'PAIRWISE'")


class Environment(BrivaneTest):
    def test_option_variables_have_no_effect(self):
        env = dict(os.environ, BRIVANE_HELP="1", BRIVANE_VERSION="v", BRIVANE="-?",
                   BRIVANE_MEMORY="3")
        r = run(["-m", "1", "-m", "2"], env=env)
        self.assertEqual(r.status, 1, r)
        self.assertIn("only one memory option allowed", r.stderr)
        self.assertEqual(r.stdout, "")


if __name__ == "__main__":
    unittest.main()

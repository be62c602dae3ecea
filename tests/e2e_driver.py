"""End-to-end cases of the run driver: the option checks and their messages,
the measure listing, the seed, the distance count and the progress lines of
each kind of run."""
import os
import re
import resource
import unittest

import numpy as np

from e2e_common import BrivaneTest, read_nc, run, write_nc

SECONDS = r"[-+0-9.e]+ sec"


class DriverCase(BrivaneTest):
    def data(self, n=30, c=3, name="m.nc"):
        rng = np.random.default_rng(n * 100 + c)
        return write_nc(self.path(name), [("m", ("r", "c"), rng.normal(size=(n, c)), "f8")])

    def distances(self, n=10):
        rng = np.random.default_rng(n)
        points = rng.normal(size=(n, 2))
        d = np.sqrt(((points[:, None, :] - points[None, :, :]) ** 2).sum(-1))
        return write_nc(self.path("d.nc"), [("D", ("o", "p"), d, "f8")])

    def cluster_rows(self, src, *extra):
        return run(["-i", src, "-o", self.path("out.nc"), "-d", "euclidean"] + list(extra))

    def assertRefused(self, r, message):
        self.assertEqual(r.status, 1, r)
        self.assertIn(message, r.stderr)


class OptionChecks(DriverCase):
    def test_no_arguments_print_the_usage_and_fail(self):
        r = run([])
        self.assertEqual(r.status, 1, r)
        self.assertIn("USAGE:", r.stderr)

    def test_operands_are_refused_and_listed(self):
        r = run(["-i", "a.nc", "b.nc", "-o", "out.nc", "-C", "distmat", "c.nc"])
        self.assertRefused(r, "ERROR! Operands not allowed! All arguments must belong to some flags.\n"
                              "Currently you have specified the following operands:\nb.nc\nc.nc\n")

    def test_distance_with_given_distances_is_refused_before_the_input(self):
        r = run(["-C", "distmat", "-d", "euclidean", "-i", self.path("none.nc"), "-o", "out.nc"])
        self.assertRefused(r, "ERROR! --distance is applicable only for --cluster data.\n")
        self.assertNotIn("Data input", r.stderr)

    def test_data_without_a_measure_is_refused(self):
        r = run(["-i", "in.nc", "-o", "out.nc"])
        self.assertRefused(r, "ERROR! Distance measure not specified! Use flag -d to find out about possible "
                              "distance measures.\nAlternatively, specify -C distmat or -C distlist to read "
                              "pre-calculated distances from the input file.\n")

    def test_distance_list_without_its_names(self):
        r = run(["-i", "in.nc", "-o", "out.nc", "-C", "distl", "-F", "f", "-T", "t"])
        self.assertRefused(r, "ERROR! Variables containing start-objects and end-objects of distances and "
                              "dimension containing number of objects must be specified with --from, --to and "
                              "--num-objects\n")

    def test_list_names_outside_distance_list_mode(self):
        r = run(["-i", "in.nc", "-o", "out.nc", "-C", "distmat", "-N", "objects"])
        self.assertRefused(r, "ERROR! --cluster DISTLIST is required by --num-objects, --from, --to.\n")

    def test_two_measures_are_refused(self):
        r = run(["-i", "in.nc", "-o", "out.nc", "-d", "euclidean", "pearson"])
        self.assertRefused(r, "ERROR! More than one parameter for option --distance\n")

    def test_missing_input_then_missing_output(self):
        self.assertRefused(run(["-C", "distmat", "-o", "out.nc"]),
                           "ERROR! Input file not specified! Use flag -i to specify the input file.\n")
        self.assertRefused(run(["-C", "distmat", "-i", "in.nc"]),
                           "ERROR! Output file not specified! Use flag -o to specify the output file.\n")

    def test_options_without_their_value(self):
        cases = [(["-i", "-o", "out.nc"], "input"),
                 (["-i", "in.nc", "-o"], "output"),
                 (["-i", "in.nc", "-o", "out.nc", "-D"], "data"),
                 (["-i", "in.nc", "-o", "out.nc", "-Y"], "quality")]
        for words, name in cases:
            with self.subTest(name=name):
                self.assertRefused(run(["-C", "distmat"] + words), "ERROR! Option --%s requires a value!\n" % name)
        self.assertRefused(run(["-i", "in.nc", "-o", "out.nc", "-d", "mink", "-p"]),
                           "ERROR! Option --minkowski-p requires a value!\n")

    def test_non_finite_reals_are_refused(self):
        for flag, name in [("-m", "memory"), ("-t", "time"), ("-Q", "pivot-quantile")]:
            for value in ["nan", "inf", "1e400"]:
                with self.subTest(flag=flag, value=value):
                    r = self.cluster_rows("in.nc", flag, value)
                    self.assertRefused(r, "ERROR! Option --%s requires a finite value!\n" % name)
        r = self.cluster_rows("in.nc", "-M", "100", "-s", "nan")
        self.assertRefused(r, "ERROR! Option --prop-similar requires a finite value!\n")

    def test_fewer_than_one_pivot_and_split_threshold_below_one(self):
        self.assertRefused(self.cluster_rows("in.nc", "-q", "0"), "ERROR! Option --num-pivots must be at least 1!\n")
        self.assertRefused(self.cluster_rows("in.nc", "-S", "-1"),
                           "ERROR! Option --split-threshold must be at least 1!\n")
        for threads in ("0", "-2"):
            self.assertRefused(self.cluster_rows("in.nc", "-j", threads),
                               "ERROR! Option --threads must be at least 1!\n")

    def test_ambiguous_keyword_is_refused_with_the_usage(self):
        r = run(["-i", "in.nc", "-o", "out.nc", "-C", "dist"])
        self.assertRefused(r, "Value 'dist' is not allowed, legal values are non-ambiguous prefixes of the "
                              "following keywords: 'ROWS' 'COLS' 'DISTMAT' 'DISTLIST'\n")
        self.assertIn("USAGE:", r.stderr)


class OptionRanges(DriverCase):
    """Values that read as numbers but lie outside what the option can do:
    refused before the input is read, with the range in the message."""

    def test_thread_counts_beyond_the_limit(self):
        # 100000 crashed inside the thread library, 40000 and 2147483647 ended
        # in its error without an ERROR line.
        for threads in ("1025", "40000", "100000", "2147483647", "1e5"):
            with self.subTest(threads=threads):
                r = self.cluster_rows(self.data(), "-M", "100", "-j", threads)
                self.assertRefused(r, "ERROR! Option --threads must be at most 1024 (this machine has ")
                self.assertRegex(r.stderr, r"^ERROR! Option --threads must be at most 1024 \(this machine has "
                                           r"\d+ cores?\)!\n$")

    @unittest.skipIf(os.environ.get("BRIVANE_SANITIZED"), "the sanitizers reserve more address space than the cap")
    def test_threads_the_system_cannot_start(self):
        # Each thread reserves its stack (8 MiB by default): 1000 of them do
        # not fit into 1 GiB of address space.
        def small_address_space():
            resource.setrlimit(resource.RLIMIT_AS, (2**30, 2**30))
            resource.setrlimit(resource.RLIMIT_STACK, (8 * 2**20, 8 * 2**20))

        r = run(["-i", self.data(), "-o", self.path("out.nc"), "-d", "euclidean", "-M", "100", "-j", "1000"],
                preexec_fn=small_address_space)
        self.assertRefused(r, "ERROR! Only ")
        self.assertRegex(r.stderr, r"^ERROR! Only (\d+) of the 1000 threads of --threads could start \(.+\); "
                                   r"use -j \1 or fewer!\n$")
        self.assertFalse(os.path.exists(self.path("out.nc")))

    def test_a_thread_count_in_exponent_notation_runs(self):
        r = self.cluster_rows(self.data(), "-M", "100", "-j", "2e0", "-R", "1")
        self.assertEqual(r.status, 0, r)

    def test_time_budgets_that_are_not_a_positive_number_of_seconds(self):
        # 0 and below printed "(count given)", 1e-320 a shortfall of "inf%".
        for budget in ("0", "-3", "1e-320", "0.0009", "-0"):
            with self.subTest(budget=budget):
                r = self.cluster_rows(self.data(), "-t", budget)
                self.assertRefused(r, "ERROR! Option --time must be at least 0.001 (seconds)!\n")
                self.assertNotIn("Data input", r.stderr)

    def test_an_infinite_minkowski_parameter(self):
        r = run(["-i", self.data(), "-o", self.path("o.nc"), "-d", "mink", "-p", "inf", "-a"])
        self.assertRefused(r, "ERROR! Option --minkowski-p requires a finite value!\n")

    def test_a_count_in_exponent_notation_is_the_whole_number(self):
        # -M 3e3 was read as 3 and raised to 20 per object (2000).
        r = self.cluster_rows(self.data(n=100), "-M", "3e3", "-s", "0", "-R", "1")
        self.assertEqual(r.status, 0, r)
        self.assertIn("  Values of 3000 distances were calculated\n", r.stderr)


class GivenDistances(DriverCase):
    """Options that steer the computing of distances, given with distances
    read from the input: each says that it has no effect, as -E and -U do."""

    def test_count_and_time_budget_say_they_have_no_effect(self):
        for words, flag in [(["-M", "1e3"], "-M/--num-distances"), (["-t", "5"], "-t/--time"),
                            (["-q", "3"], "-q/--num-pivots"), (["-M", "9", "-s", "0.2"], "-s/--prop-similar"),
                            (["-P", "quantile"], "-P/--pivot-strategy"), (["-Q", "0.5"], "-Q/--pivot-quantile"),
                            (["-S", "10"], "-S/--split-threshold"), (["-Z", "50"], "-Z/--sample-size")]:
            with self.subTest(words=words):
                r = run(["-i", self.distances(), "-o", self.path("out.nc"), "-C", "distmat", "-R", "1"] + words)
                self.assertEqual(r.status, 0, r)
                self.assertEqual(r.stderr.count(" has no effect on given distances"), 2 if "-s" in words else 1, r)
                self.assertIn("WARNING! %s has no effect on given distances: they are read and clustered as "
                              "they are.\n" % flag, r.stderr)

    def test_distance_list_too(self):
        rng = np.random.default_rng(1)
        src = write_nc(self.path("l.nc"), [("d", ("m",), rng.random(6), "f8"),
                                           ("f", ("m",), np.array([0, 0, 0, 1, 1, 2], np.int32), "i4"),
                                           ("t", ("m",), np.array([1, 2, 3, 2, 3, 3], np.int32), "i4")],
                       dims=[("objects", 4)])
        r = run(["-i", src, "-o", self.path("out.nc"), "-C", "distlist", "-D", "d", "-F", "f", "-T", "t",
                 "-N", "objects", "-t", "5"])
        self.assertEqual(r.status, 0, r)
        self.assertIn("WARNING! -t/--time has no effect on given distances", r.stderr)

    def test_without_them_no_warning(self):
        r = run(["-i", self.distances(), "-o", self.path("out.nc"), "-C", "distmat", "-R", "1", "-j", "2"])
        self.assertEqual(r.status, 0, r)
        self.assertNotIn("WARNING", r.stderr)


class MeasureListing(DriverCase):
    def test_distance_flag_alone_lists_the_measures_before_the_input(self):
        r = run(["-d", "-i", self.path("none.nc")])
        self.assertEqual(r.status, 0, r)
        lines = r.stderr.splitlines()
        self.assertEqual(lines[:3], ["Distance measure can be specified with", " -d <measure>",
                                     "where <measure> is any of the following:"])
        self.assertEqual(len(lines), 19)
        self.assertEqual(lines[3], "e[uclidean]       - Euclidean distance - Minkowski distance with p=2")
        self.assertNotIn("Data input", r.stderr)


class MeasureSelection(DriverCase):
    def test_minkowski_needs_a_positive_parameter(self):
        src = self.data()
        self.assertRefused(run(["-i", src, "-o", self.path("o.nc"), "-d", "mink"]),
                           "ERROR! Minkowski distance requires parameter --minkowski-p or -p\n")
        for p in ["0", "-1", "nan"]:
            with self.subTest(p=p):
                self.assertRefused(run(["-i", src, "-o", self.path("o.nc"), "-d", "mink", "-p", p]),
                                   "ERROR! Parameter p of Minkowski distance must be positive!\n")

    def test_minkowski_parameter_is_used(self):
        src = write_nc(self.path("two.nc"), [("m", ("r", "c"), np.array([[0.0, 0.0], [3.0, 4.0]]), "f8")])
        r = run(["-i", src, "-o", self.path("o.nc"), "-d", "mink", "-p", "2", "-a"])
        self.assertEqual(r.status, 0, r)
        self.assertAlmostEqual(read_nc(self.path("o.nc"))["row_distance"][2], 5.0)

    def test_minkowski_parameter_with_another_measure_has_no_effect(self):
        src = self.data()
        r = run(["-i", src, "-o", self.path("o.nc"), "-d", "manh", "-p", "-3", "-M", "100", "-s", "0", "-R", "1"])
        self.assertEqual(r.status, 0, r)

    def test_unknown_measure_is_refused(self):
        r = run(["-i", self.data(), "-o", self.path("o.nc"), "-d", "euclideanx"])
        self.assertRefused(r, "ERROR! 'euclideanx' does not match to any distance measure!\n")


class Seeds(DriverCase):
    def test_user_seed_is_reported(self):
        r = self.cluster_rows(self.data(), "-M", "100", "-s", "0", "-R", "5")
        self.assertEqual(r.status, 0, r)
        self.assertIn("\nRandom seed from user = 5\n", r.stderr)

    def test_seed_of_zero_or_below_comes_from_the_clock(self):
        for seed in ["0", "-4"]:
            with self.subTest(seed=seed):
                r = self.cluster_rows(self.data(), "-M", "100", "-s", "0", "-R", seed)
                self.assertEqual(r.status, 0, r)
                self.assertRegex(r.stderr, r"\nRandom seed from time = -?\d+\n")

    def test_same_seed_and_count_give_the_same_tree(self):
        src = self.data(n=40)
        trees = []
        for k in range(2):
            out = self.path("o%d.nc" % k)
            r = run(["-i", src, "-o", out, "-d", "euclidean", "-M", "200", "-s", "0", "-R", "11"])
            self.assertEqual(r.status, 0, r)
            trees.append(read_nc(out))
        for name in ["row_left", "row_right", "row_distance"]:
            np.testing.assert_array_equal(trees[0][name], trees[1][name])


class DistanceCount(DriverCase):
    def test_count_is_cut_to_all_pairs(self):
        r = self.cluster_rows(self.data(n=100), "-M", "10000", "-s", "0", "-R", "1")
        self.assertEqual(r.status, 0, r)
        self.assertIn("  Values of 4950 distances were calculated\n", r.stderr)

    def test_count_is_raised_to_twenty_per_object(self):
        r = self.cluster_rows(self.data(n=100), "-M", "10", "-s", "0", "-R", "1")
        self.assertEqual(r.status, 0, r)
        self.assertIn("  Values of 2000 distances were calculated\n", r.stderr)

    def test_budget_below_twenty_distances_per_object(self):
        # 100 x 2 doubles take 1600 bytes; 2000 distances would take 500000
        # in the store, 132000 in the compact engine (which -E auto takes
        # where the store does not fit).
        for memory, engine in ((400000, "store"), (100000, "auto")):
            with self.subTest(engine=engine):
                r = self.cluster_rows(self.data(n=100, c=2), "-M", "1000", "-m", str(memory / 2**30), "-E", engine)
                self.assertRefused(r, "ERROR! Insufficient memory to calculate enough distances\n")
        r = self.cluster_rows(self.data(n=100, c=2), "-M", "1000", "-m", str(400000 / 2**30))
        self.assertEqual(r.status, 0, r)
        self.assertIn("Values of 2000 distances were calculated", r.stderr)

    def test_budget_below_all_pairs(self):
        # The store's 1.24 MB do not fit; the dense engine's 40 KB would.
        r = self.cluster_rows(self.data(n=100, c=2), "-a", "-m", str(1000000 / 2**30), "-E", "store")
        self.assertRefused(r, "ERROR! Insufficient memory to calculate all pairwise distances!\n"
                              "This run needs -m 0.01 or more (gigabytes).\n")

    def test_all_pairwise_computes_every_pair_without_heuristics(self):
        r = self.cluster_rows(self.data(n=30), "-a", "-R", "1")
        self.assertEqual(r.status, 0, r)
        self.assertIn("  Calculating all pairwise distances...", r.stderr)
        self.assertIn("  Values of 435 distances were calculated\n", r.stderr)
        self.assertNotIn("pivots", r.stderr)

    def test_time_budget_gives_a_count_within_the_bounds(self):
        r = self.cluster_rows(self.data(n=50), "-t", "0.001", "-R", "1")
        self.assertEqual(r.status, 0, r)
        count = int(re.search(r"  Values of (\d+) distances were calculated", r.stderr).group(1))
        self.assertTrue(1000 <= count <= 1225, r)

    def test_one_object_gives_a_one_node_tree(self):
        src = write_nc(self.path("one.nc"), [("m", ("r", "c"), np.array([[1.0, 2.0]]), "f8")])
        r = self.cluster_rows(src, "-R", "1")
        self.assertEqual(r.status, 0, r)
        self.assertNotIn("Calculating distances", r.stderr)
        self.assertEqual(read_nc(self.path("out.nc"))["__dims__"]["row_nodes"], 1)


class Failures(DriverCase):
    @unittest.skipIf(os.environ.get("BRIVANE_SANITIZED"), "the sanitizers reserve more address space than the cap")
    def test_allocation_failure_is_reported_once(self):
        def small_address_space():
            resource.setrlimit(resource.RLIMIT_AS, (256 * 2**20, 256 * 2**20))

        # All pairs of 3000 objects need a store of about 700 MB.
        src = self.data(n=3000, c=1)
        r = run(["-i", src, "-o", self.path("out.nc"), "-d", "euclidean", "-a", "-m", "4"],
                preexec_fn=small_address_space)
        self.assertRefused(r, "Out of memory!\n")


class ProgressLines(DriverCase):
    def test_distance_matrix_run(self):
        r = run(["-i", self.distances(10), "-o", self.path("out.nc"), "-C", "distmat", "-R", "3"])
        self.assertEqual(r.status, 0, r)
        self.assertRegex(r.stderr, "^Data input... " + SECONDS + "\nRandom seed from user = 3\n")
        self.assertRegex(r.stderr, "\nInputting distances...\nDistance input took " + SECONDS +
                         "\n  Values of 45 distances were input\nRunning hierarchical clustering... " +
                         SECONDS + "\nProgram running time was " + SECONDS + "\n$")

    def test_random_pairs_only(self):
        r = self.cluster_rows(self.data(n=50), "-M", "100", "-s", "0", "-R", "2")
        self.assertEqual(r.status, 0, r)
        self.assertNotIn("pivots", r.stderr)
        self.assertRegex(r.stderr, "\nCalculating distances...\n  Calculating random pairs... " + SECONDS +
                         "\nDistance calculation took " + SECONDS + "\n  Values of 1000 distances were calculated\n"
                         "Running hierarchical clustering... ")

    def test_heuristics_then_random_pairs(self):
        r = self.cluster_rows(self.data(n=60), "-M", "400", "-R", "2")
        self.assertEqual(r.status, 0, r)
        self.assertRegex(r.stderr, "\nChoosing pivots for similarity heuristics...\n(.*\n)*Choosing pivots took " +
                         SECONDS + "\nEstimating epsilon for similarity heuristics...")
        self.assertRegex(r.stderr, "\n  Estimated epsilon is [-+0-9.e]+\n")
        self.assertRegex(r.stderr, "  Calculating similarity heuristics based pairs...")
        self.assertRegex(r.stderr, "\n    \\d+ distances calculated\n")

    def test_heuristics_only(self):
        r = self.cluster_rows(self.data(n=60), "-M", "1200", "-s", "1", "-R", "2")
        self.assertEqual(r.status, 0, r)
        self.assertIn("  Calculating similarity heuristics based pairs...", r.stderr)
        self.assertNotIn("Calculating random pairs", r.stderr)


if __name__ == "__main__":
    unittest.main()

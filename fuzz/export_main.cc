// Fuzz target of brivane-export: the input is a dendrogram file, exported in
// every format (the picture small, so that every run is short), each run in a
// child process of its own.  Output goes to the folder named by
// BRIVANE_FUZZ_OUT (default: the current folder).
#include "child_runs.h"

int brivane_export_main(int argc, char **argv);

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const std::vector<std::vector<std::string>> runs = {
        {"linkage", "-o", fuzz_output("out.txt")},
        {"newick", "-o", fuzz_output("out.nwk")},
        {"treeview", "-o", fuzz_output("out")},
        {"picture", "-W", "64", "-H", "64", "-o", fuzz_output("out.png")},
    };
    for (const auto &run : runs) {
        std::vector<std::string> words = {"brivane-export", "-t", argv[1]};
        words.insert(words.end(), run.begin(), run.end());
        if (run_in_child(brivane_export_main, words) != 0)
            return 2;
    }
    return 0;
}

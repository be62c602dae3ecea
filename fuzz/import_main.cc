// Fuzz target of brivane-import's parser: the input is a table, read as CSV
// and as tab-delimited text (with an annotation column and doubles), each run
// in a child process of its own.  Output goes to the folder named by
// BRIVANE_FUZZ_OUT (default: the current folder).
#include "child_runs.h"

int brivane_import_main(int argc, char **argv);

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const std::vector<std::vector<std::string>> runs = {
        {"-f", "csv"},
        {"-f", "tsv"},
        {"-f", "csv", "-a", "1", "-t", "double"},
    };
    for (const auto &run : runs) {
        std::vector<std::string> words = {"brivane-import"};
        words.insert(words.end(), run.begin(), run.end());
        words.push_back(argv[1]);
        words.push_back(fuzz_output("out.nc"));
        if (run_in_child(brivane_import_main, words) != 0)
            return 2;
    }
    return 0;
}

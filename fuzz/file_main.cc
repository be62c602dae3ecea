// Fuzz target of the input inspection and loading: the input is a NetCDF
// file, and brivane clusters it four times, each run in a child process of
// its own, with fixed options (rows, columns with the permuted data copy, a
// distance matrix, a distance list).  A small memory budget keeps every run
// short: it bounds the objects that can be clustered (20 distances of 250
// bytes each per object).  A child that dies of a signal (a sanitizer
// report, a crash) is passed on as this process's own death, so that the
// fuzzer sees it; so is any exit status but 0, 1 and 3 (the netCDF library's
// own fatal errors).
//
// Output goes to out.nc in the folder named by BRIVANE_FUZZ_OUT (default:
// the current folder).
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

int brivane_arg_main(int argc, char **argv);

namespace {

const char *const RUNS[][16] = {
    {"-d", "euc", "-M", "50", nullptr},
    {"-C", "cols", "-d", "spearman", "-M", "50", "-O", nullptr},
    {"-C", "distmat", "-l", "min", nullptr},
    {"-C", "distlist", "-F", "f", "-T", "t", "-N", "objs", "-l", "max", nullptr},
};

int run_child(const char *input, const std::string &output, const char *const *options)
{
    std::vector<std::string> words = {"brivane", "-i", input, "-o", output, "-m", "0.05", "-R", "1"};
    for (const char *const *o = options; *o; o++)
        words.push_back(*o);
    std::vector<char *> args;
    for (std::string &w : words)
        args.push_back(&w[0]);
    args.push_back(nullptr);
    return brivane_arg_main((int)words.size(), args.data());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const char *folder = std::getenv("BRIVANE_FUZZ_OUT");
    std::string output = std::string(folder ? folder : ".") + "/out.nc";
    for (const auto &options : RUNS) {
        pid_t child = fork();
        if (child < 0)
            return 2;
        if (child == 0) {
            // A child left behind when the fuzzer kills a hung run must not
            // go on running.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            std::exit(run_child(argv[1], output, options));
        }
        int status = 0;
        if (waitpid(child, &status, 0) < 0)
            return 2;
        if (WIFSIGNALED(status)) {
            signal(WTERMSIG(status), SIG_DFL);
            raise(WTERMSIG(status));
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 1 &&
            WEXITSTATUS(status) != 3)
            abort();
    }
    return 0;
}

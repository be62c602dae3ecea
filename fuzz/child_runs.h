// The runs of a fuzz target: each in a child process of its own, so that one
// input is tried with several fixed command lines.  A child that dies of a
// signal (a sanitizer report, a crash) is passed on as this process's own
// death, so that the fuzzer sees it; so is any exit status but 0 and 1.
#ifndef FUZZ_CHILD_RUNS_H
#define FUZZ_CHILD_RUNS_H

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// Runs main_of(words) in a child and waits for it; 2 when no child could be
// made.
inline int run_in_child(int (*main_of)(int, char **), std::vector<std::string> words)
{
    pid_t child = fork();
    if (child < 0)
        return 2;
    if (child == 0) {
        // A child left behind when the fuzzer kills a hung run must not go
        // on running.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::vector<char *> args;
        for (std::string &w : words)
            args.push_back(&w[0]);
        args.push_back(nullptr);
        std::exit(main_of((int)words.size(), args.data()));
    }
    int status = 0;
    if (waitpid(child, &status, 0) < 0)
        return 2;
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) > 1)
        abort();
    return 0;
}

// The folder for the targets' output files: BRIVANE_FUZZ_OUT, else the
// current folder.
inline std::string fuzz_output(const char *name)
{
    const char *folder = std::getenv("BRIVANE_FUZZ_OUT");
    return std::string(folder ? folder : ".") + "/" + name;
}

#endif

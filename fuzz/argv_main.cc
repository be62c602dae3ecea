// Fuzz target of the command line: the input's bytes, split at NUL and
// newline, are the words after the program name, and the real front end
// parses them.  Runs stop at the first file the program would open, because
// the scratch folder the fuzzer runs in holds no input: what is fuzzed is the
// option parsing, the defaults and every check that comes before the input.
//
// Words that could leave the scratch folder ('/' anywhere) or start a pager
// (the more-help flag) are not run.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int brivane_arg_main(int argc, char **argv);

namespace {

const std::size_t MAX_BYTES = 4096;
const std::size_t MAX_WORDS = 64;

// True for any word that names the more-help option: a short-flag cluster
// holding '!', or a long name that abbreviates "more-help".
bool asks_for_pager(const std::string &word)
{
    if (word.size() < 2 || word[0] != '-')
        return false;
    if (word[1] != '-')
        return word.find('!') != std::string::npos;
    std::string name = word.substr(2);
    name = name.substr(0, name.find('='));
    return !name.empty() && std::string("more-help").compare(0, name.size(), name) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE-OF-WORDS\n", argv[0]);
        return 2;
    }
    FILE *f = std::fopen(argv[1], "rb");
    if (!f)
        return 2;
    std::string bytes(MAX_BYTES, '\0');
    bytes.resize(std::fread(&bytes[0], 1, MAX_BYTES, f));
    std::fclose(f);

    std::vector<std::string> words;
    std::string word;
    for (char c : bytes) {
        if (c == '\0' || c == '\n') {
            words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        words.push_back(word);
    if (words.size() > MAX_WORDS)
        return 0;
    for (const std::string &w : words)
        if (w.find('/') != std::string::npos || asks_for_pager(w))
            return 0;

    // The front end rewrites words in place and keeps pointers into them for
    // the whole run, so they live in storage of their own until the end.
    std::vector<std::vector<char>> storage;
    storage.push_back(std::vector<char>{'b', 'r', 'i', 'v', 'a', 'n', 'e', '\0'});
    for (const std::string &w : words)
        storage.emplace_back(w.c_str(), w.c_str() + w.size() + 1);
    std::vector<char *> args;
    for (auto &s : storage)
        args.push_back(s.data());
    args.push_back(nullptr);
    setenv("PAGER", "true", 1);
    return brivane_arg_main((int)args.size() - 1, args.data());
}

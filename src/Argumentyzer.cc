// Argument helpers: command-line words to typed value lists, and keyword
// resolution.
//
//   arg_arg_check_int / arg_arg_check_double   one word to one number
//   arg_arg_to_*_vector                        append one word to a list
//   arg_arg_keyword                            a word to a keyword's index
//
// A word whose first byte is NEGATIVE_MARK stands for the same word with '-'
// there; the front end marks negative numbers that way so that the option
// library does not take them for flags.  The number checks read such a word
// with its '-' and leave it marked again.
#include "Argumentyzer.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

// Both lists exist, empty, from start-up; the front end fills them.
string_vector *arg_argv_vector = new string_vector;
string_vector *arg_operands_vector = new string_vector;

static const char NOT_AN_INTEGER[] = "' is not an integer!";
static const char NOT_A_REAL[] = "' is not a floating-point number!";
static const char KEYWORD_REFUSED[] =
    "' is not allowed, legal values are non-ambiguous prefixes of the following keywords:";

// Puts '-' in place of the mark; the result says whether the word was marked.
static bool unmark(char *x)
{
    if (x[0] != NEGATIVE_MARK)
        return false;
    x[0] = '-';
    return true;
}

static void refuse_number(const char *x, const char *why)
{
    fprintf(stderr, "'%s%s\n", x, why);
}

// The decimal integer at the start of x, after blanks; text after the digits
// is ignored ("12abc" is 12).  Values outside the 32-bit range are refused
// rather than wrapped.
int *arg_arg_check_int(char *x)
{
    bool marked = unmark(x);
    char *end = x;
    errno = 0;
    long long value = strtoll(x, &end, 10);
    if (end == x || errno == ERANGE || value < INT_MIN || value > INT_MAX) {
        refuse_number(x, NOT_AN_INTEGER);
        return nullptr;
    }
    if (marked)
        x[0] = NEGATIVE_MARK;
    return new int(static_cast<int>(value));
}

// The real number at the start of x, after blanks, as scanf reads it.
double *arg_arg_check_double(char *x)
{
    bool marked = unmark(x);
    double value;
    if (sscanf(x, "%lg", &value) != 1) {
        refuse_number(x, NOT_A_REAL);
        return nullptr;
    }
    if (marked)
        x[0] = NEGATIVE_MARK;
    return new double(value);
}

int_vector *arg_arg_to_int_vector(char *arg, int_vector *vec)
{
    if (vec == nullptr)
        vec = new int_vector;
    if (arg == nullptr)
        return vec;
    int *value = arg_arg_check_int(arg);
    if (value == nullptr)
        return nullptr;
    vec->push_back(*value);
    delete value;
    return vec;
}

double_vector *arg_arg_to_double_vector(char *arg, double_vector *vec)
{
    if (vec == nullptr)
        vec = new double_vector;
    if (arg == nullptr)
        return vec;
    double *value = arg_arg_check_double(arg);
    if (value == nullptr)
        return nullptr;
    vec->push_back(*value);
    delete value;
    return vec;
}

string_vector *arg_arg_to_string_vector(char *arg, string_vector *vec)
{
    if (vec == nullptr)
        vec = new string_vector;
    if (arg != nullptr)
        vec->push_back(arg);
    return vec;
}

// Element 0 of x must be a prefix of exactly one keyword; an exact match has
// no preference over a longer keyword it is also a prefix of.  An empty list
// reads as the empty word, which every keyword matches.
int_vector *arg_arg_keyword(string_vector *x, int n, const char *const *keys,
                            int case_sensitive)
{
    const char *v = (x != nullptr && !x->empty()) ? (*x)[0] : "";
    size_t m = strlen(v);
    int found = -1;
    int matches = 0;
    for (int i = 0; i < n; i++) {
        int differs = case_sensitive ? strncmp(v, keys[i], m) : strncasecmp(v, keys[i], m);
        if (differs == 0) {
            found = i;
            matches++;
        }
    }
    if (matches == 1)
        return new int_vector(1, found);
    fprintf(stderr, "Value '%s%s", v, KEYWORD_REFUSED);
    for (int i = 0; i < n; i++)
        fprintf(stderr, " '%s'", keys[i]);
    fprintf(stderr, "\n");
    return nullptr;
}

// Argument helpers: command-line words to typed value lists, and keyword
// resolution.
//
//   arg_arg_check_int / arg_arg_check_double   one word to one number; the
//                                              whole word must be the number
//   arg_arg_to_*_vector                        append one word to a list
//   arg_arg_keyword                            a word to a keyword's index
//
// A word whose first byte is NEGATIVE_MARK stands for the same word with '-'
// there; the front end marks negative numbers that way so that the option
// library does not take them for flags.  The number checks read such a word
// with its '-' and leave it marked again.
#include "Argumentyzer.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

// Both lists exist, empty, from start-up; the front end fills them.
string_vector *arg_argv_vector = new string_vector;
string_vector *arg_operands_vector = new string_vector;

static const char NOT_AN_INTEGER[] = "' is not an integer (a whole number such as 120, 1e6 or 2.5e7)!";
static const char OUT_OF_RANGE[] = "' is out of range (-2147483648 to 2147483647)!";
static const char OUT_OF_WIDE_RANGE[] = "' is out of range (-9223372036854775808 to 9223372036854775807)!";
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

static void refuse_number(const char *x, const char *option, const char *why)
{
    if (option != nullptr)
        fprintf(stderr, "ERROR! Option --%s: '%s%s\n", option, x, why);
    else
        fprintf(stderr, "ERROR! '%s%s\n", x, why);
}

// A word in decimal notation: blanks, a sign, digits with at most one point
// (at least one digit), an exponent of digits, blanks; nothing else.  The
// parts are kept so that an integer can be told exactly, without rounding.
struct Decimal {
    bool negative = false;
    std::string digits;       // every mantissa digit, the point left out
    long long point = 0;      // how many of `digits` stand before the point
};

static bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

static bool read_decimal(const char *x, Decimal &d)
{
    const char *p = x;
    while (is_blank(*p))
        p++;
    if (*p == '+' || *p == '-')
        d.negative = *p++ == '-';
    long long before = 0;
    bool point = false;
    for (; isdigit((unsigned char)*p) || (*p == '.' && !point); p++) {
        if (*p == '.') {
            point = true;
            continue;
        }
        d.digits += *p;
        if (!point)
            before++;
    }
    if (d.digits.empty())
        return false;
    // The exponent saturates: past a billion places every verdict is the same.
    long long exponent = 0;
    if (*p == 'e' || *p == 'E') {
        p++;
        bool minus = false;
        if (*p == '+' || *p == '-')
            minus = *p++ == '-';
        if (!isdigit((unsigned char)*p))
            return false;
        for (; isdigit((unsigned char)*p); p++)
            exponent = std::min(exponent * 10 + (*p - '0'), 1000000000LL);
        if (minus)
            exponent = -exponent;
    }
    while (is_blank(*p))
        p++;
    d.point = before + exponent;
    return *p == '\0';
}

// "nan", "inf" or "infinity" in any letter case, with a sign and blanks: the
// words strtod reads beside decimal notation (its hexadecimal form aside).
static bool is_special_real(const char *x)
{
    while (is_blank(*x))
        x++;
    if (*x == '+' || *x == '-')
        x++;
    size_t n = 0;
    while (isalpha((unsigned char)x[n]))
        n++;
    const char *rest = x + n;
    while (is_blank(*rest))
        rest++;
    if (*rest != '\0')
        return false;
    std::string word(x, n);
    for (char &c : word)
        c = (char)tolower((unsigned char)c);
    return word == "nan" || word == "inf" || word == "infinity";
}

// A count: the whole word is a decimal number that is exactly an integer
// ("1e6", "2.5e7", "120.0"), within the 32-bit range, or with `wide` the
// 64-bit one.  A fraction, a unit or any other trailing text is refused
// rather than cut off.
long long *arg_arg_check_int(char *x, const char *option, bool wide)
{
    bool marked = unmark(x);
    Decimal d;
    if (!read_decimal(x, d)) {
        refuse_number(x, option, NOT_AN_INTEGER);
        return nullptr;
    }
    // Every digit at or after the point must be 0; leading zeros do not count
    // towards the size.
    long long n = (long long)d.digits.size();
    long long first = 0;
    while (first < n && d.digits[first] == '0')
        first++;
    for (long long k = std::max(first, d.point); k < n; k++) {
        if (d.digits[k] != '0') {
            refuse_number(x, option, NOT_AN_INTEGER);
            return nullptr;
        }
    }
    // 19 digits stay below 2^64: the magnitude is exact before the range test.
    const char *out_of_range = wide ? OUT_OF_WIDE_RANGE : OUT_OF_RANGE;
    unsigned long long magnitude = 0;
    if (first < n) {
        if (d.point - first > (wide ? 19 : 10)) {
            refuse_number(x, option, out_of_range);
            return nullptr;
        }
        for (long long k = first; k < d.point; k++)
            magnitude = magnitude * 10 + (unsigned)(k < n ? d.digits[k] - '0' : 0);
    }
    unsigned long long most = wide ? (unsigned long long)LLONG_MAX : (unsigned long long)INT_MAX;
    if (magnitude > most + (d.negative ? 1 : 0)) {
        refuse_number(x, option, out_of_range);
        return nullptr;
    }
    long long value = d.negative ? (long long)(0 - magnitude) : (long long)magnitude;
    if (marked)
        x[0] = NEGATIVE_MARK;
    return new long long(value);
}

// A real number: the whole word in decimal notation, or NaN or an infinity
// (the driver judges those by the option).  A value beyond the range of a
// double is infinite, one below it is as close to 0 as a double gets.
double *arg_arg_check_double(char *x, const char *option)
{
    bool marked = unmark(x);
    Decimal d;
    if (!read_decimal(x, d) && !is_special_real(x)) {
        refuse_number(x, option, NOT_A_REAL);
        return nullptr;
    }
    double value = strtod(x, nullptr);
    if (marked)
        x[0] = NEGATIVE_MARK;
    return new double(value);
}

int_vector *arg_arg_to_int_vector(char *arg, int_vector *vec, const char *option, bool wide)
{
    if (vec == nullptr)
        vec = new int_vector;
    if (arg == nullptr)
        return vec;
    long long *value = arg_arg_check_int(arg, option, wide);
    if (value == nullptr)
        return nullptr;
    vec->push_back(*value);
    delete value;
    return vec;
}

double_vector *arg_arg_to_double_vector(char *arg, double_vector *vec, const char *option)
{
    if (vec == nullptr)
        vec = new double_vector;
    if (arg == nullptr)
        return vec;
    double *value = arg_arg_check_double(arg, option);
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

// Argument helpers: command-line words to typed value lists, and keyword
// resolution.
//
// Value lists are created with new, handed around by pointer and never freed.
// Text lists hold pointers into the command line itself; nothing is copied.
// A null result means that the word was refused (the helper has said why on
// standard error; the caller decides what follows).
#ifndef ARGUMENTYZER_H
#define ARGUMENTYZER_H

#include <vector>

typedef std::vector<long long> int_vector;
typedef std::vector<double> double_vector;
typedef std::vector<char *> string_vector;

// First byte of a command-line word that stands for '-' in a negative number,
// so that the option library takes the word for a value.
const char NEGATIVE_MARK = 0x01;

// All command-line words in order (program name included), and the operands.
extern string_vector *arg_argv_vector;
extern string_vector *arg_operands_vector;

// `wide`: a count in the 64-bit range (else the 32-bit one).
long long *arg_arg_check_int(char *x, const char *option = nullptr, bool wide = false);
double *arg_arg_check_double(char *x, const char *option = nullptr);
int_vector *arg_arg_to_int_vector(char *arg, int_vector *vec, const char *option = nullptr,
                                  bool wide = false);
double_vector *arg_arg_to_double_vector(char *arg, double_vector *vec, const char *option = nullptr);
string_vector *arg_arg_to_string_vector(char *arg, string_vector *vec);
int_vector *arg_arg_keyword(string_vector *x, int n, const char *const *keys,
                            int case_sensitive);

#endif

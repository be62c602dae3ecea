// How the engine raises its errors, and the lines a program prints for one.
#ifndef REFUSE_H
#define REFUSE_H

#include <string>

namespace brivane {
class Error;
}

// Ends the run with `message`, a whole error message whose first line starts
// with "ERROR! ", thrown as a brivane::Error whose what() is the message
// after that opening.
[[noreturn]] void refuse(const std::string &message);
// The lines the program prints for `error`: "ERROR! ", its message and a
// newline.
std::string error_lines(const brivane::Error &error);

#endif

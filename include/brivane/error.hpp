// The error that ends a brivane run.
//
// Every failure of a run (bad input, a budget too small, an output that
// cannot be written) is thrown as a brivane::Error.  Its what() is the
// message the program prints after "ERROR! ", possibly several lines
// (joined by '\n', none at the end); status() is the exit status the
// program ends with for it.
#ifndef BRIVANE_ERROR_HPP
#define BRIVANE_ERROR_HPP

#include <stdexcept>
#include <string>

namespace brivane {

class Error : public std::runtime_error {
  public:
    explicit Error(std::string message, int status = 1);
    ~Error() override;
    int status() const { return status_; }

  private:
    int status_;
};

// The error of a run that its caller asked to stop (Sink::stop); status 130,
// as of a program ended by an interrupt.
class Stopped : public Error {
  public:
    Stopped();
    ~Stopped() override;
};

} // namespace brivane

#endif

// The run's random generator: the very sequence of the C library's
// srand()/rand(), held in an object instead of the library's hidden state.
//
// rand() in glibc is random() on a state of type TYPE_3 (an additive
// feedback generator over 31 words, taps 31 and 3); random_r on a state of
// that type, set up by initstate_r with a 128-byte buffer, steps the same
// recurrence, and srandom_r seeds it as srand() does.  So a seeded run draws
// the numbers it always drew, while several generators (and runs) live in one
// process without touching each other or the library's own.
#ifndef RANDOM_H
#define RANDOM_H

#include <cstdint>
#include <cstdlib>

class Random {
  public:
    // Seeded with 1: the sequence of rand() before any srand().
    explicit Random(unsigned int seed = 1);
    Random(const Random &other);
    Random &operator=(const Random &other);

    // The sequence of srand(seed) from its start (seed 0 is seed 1, as there).
    void seed(unsigned int seed);
    // What rand() would return next: a number in 0 ... RAND_MAX.
    int next()
    {
        int32_t value;
        random_r(&data_, &value);
        return value;
    }

  private:
    // glibc chooses TYPE_3 for a state of 128 bytes up to 255: one word for
    // the type and the rear pointer, and the 31 words of the recurrence.
    static const int STATE_WORDS = 32;
    int32_t state_[STATE_WORDS];
    // Pointers into state_; a copy points them into its own buffer.
    random_data data_;
};

#endif

// The run's random generator (random.h).
#include "random.h"

#include <cstring>

Random::Random(unsigned int seed)
{
    // initstate_r saves the state it replaces through data_.state: none yet.
    std::memset(&data_, 0, sizeof data_);
    std::memset(state_, 0, sizeof state_);
    initstate_r(seed, reinterpret_cast<char *>(state_), sizeof state_, &data_);
}

Random::Random(const Random &other)
{
    *this = other;
}

Random &Random::operator=(const Random &other)
{
    if (this == &other)
        return *this;
    std::memcpy(state_, other.state_, sizeof state_);
    data_ = other.data_;
    // The same offsets into this object's buffer.
    data_.fptr = state_ + (other.data_.fptr - other.state_);
    data_.rptr = state_ + (other.data_.rptr - other.state_);
    data_.state = state_ + (other.data_.state - other.state_);
    data_.end_ptr = state_ + (other.data_.end_ptr - other.state_);
    return *this;
}

void Random::seed(unsigned int seed)
{
    srandom_r(seed, &data_);
}

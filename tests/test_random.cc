// The run's generator against the C library's srand()/rand().
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <utility>
#include <vector>

#include "random.h"

namespace {

// The first `count` numbers of rand() after srand(seed).
std::vector<int> library_sequence(unsigned int seed, int count)
{
    std::srand(seed);
    std::vector<int> values(count);
    for (int &v : values)
        v = std::rand();
    return values;
}

std::vector<int> generator_sequence(Random &random, int count)
{
    std::vector<int> values(count);
    for (int &v : values)
        v = random.next();
    return values;
}

const int DRAWS = 5000;

} // namespace

TEST(Random, SeededDrawsAreThoseOfSrandAndRand)
{
    const unsigned int seeds[] = {0, 1, 2, 7, 12345, 2147483647u, 2147483648u, (unsigned int)-1,
                                  (unsigned int)-12345, UINT_MAX - 1};
    for (unsigned int seed : seeds) {
        Random random(seed);
        EXPECT_EQ(generator_sequence(random, DRAWS), library_sequence(seed, DRAWS)) << "seed " << seed;
        random.seed(seed);
        EXPECT_EQ(generator_sequence(random, DRAWS), library_sequence(seed, DRAWS)) << "reseeded " << seed;
    }
}

TEST(Random, UnseededGeneratorDrawsAsRandBeforeAnySrand)
{
    Random random;
    EXPECT_EQ(generator_sequence(random, DRAWS), library_sequence(1, DRAWS));
}

TEST(Random, DrawsLieBetweenZeroAndRandMax)
{
    Random random(99);
    for (int k = 0; k < DRAWS; k++) {
        int v = random.next();
        ASSERT_GE(v, 0);
        ASSERT_LE(v, RAND_MAX);
    }
}

TEST(Random, GeneratorsDoNotShareState)
{
    Random a(5), b(5);
    std::vector<int> expected = library_sequence(5, DRAWS);
    // Draws interleaved with each other and with rand() leave each sequence whole.
    std::srand(77);
    for (int k = 0; k < DRAWS; k++) {
        ASSERT_EQ(a.next(), expected[k]) << k;
        std::rand();
        if (k % 2 == 0) {
            ASSERT_EQ(b.next(), expected[k / 2]) << k;
        }
    }
}

TEST(Random, CopyContinuesFromWhereTheOriginalIs)
{
    std::vector<int> expected = library_sequence(31, 2 * DRAWS);
    Random original(31);
    generator_sequence(original, DRAWS);
    Random copy(original);
    Random assigned;
    assigned = original;
    std::vector<int> rest(expected.begin() + DRAWS, expected.end());
    EXPECT_EQ(generator_sequence(copy, DRAWS), rest);
    EXPECT_EQ(generator_sequence(assigned, DRAWS), rest);
    // The copies drew from their own buffers: the original is still where it was.
    EXPECT_EQ(generator_sequence(original, DRAWS), rest);
}

TEST(Random, CopyOfACopyOutlivesTheOriginal)
{
    std::vector<int> expected = library_sequence(8, 100);
    Random *original = new Random(8);
    generator_sequence(*original, 50);
    Random copy = *original;
    delete original;
    Random moved = std::move(copy);
    EXPECT_EQ(generator_sequence(moved, 50), std::vector<int>(expected.begin() + 50, expected.end()));
}

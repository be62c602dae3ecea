// Worker threads for the distance computations: the count and the machine's cores.
#include "threads.h"

#include <thread>

int num_threads = 1;

int machine_cores()
{
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

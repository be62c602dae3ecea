// Worker threads for the distance computations: the count, its limit and
// the machine's cores.
#include "threads.h"

#include <algorithm>
#include <condition_variable>
#include <system_error>
#include <thread>
#include <vector>


int machine_cores()
{
    unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

int thread_limit()
{
    return std::max(THREAD_CAP, machine_cores());
}

int startable_threads(int wanted, std::string &reason)
{
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::vector<std::thread> team;
    team.reserve(std::max(0, wanted - 1));
    for (int k = 1; k < wanted; k++) {
        try {
            team.emplace_back([&] {
                std::unique_lock<std::mutex> lock(mutex);
                released.wait(lock, [&] { return release; });
            });
        } catch (const std::system_error &error) {
            reason = error.code().message();
            break;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    released.notify_all();
    for (std::thread &thread : team)
        thread.join();
    return 1 + static_cast<int>(team.size());
}

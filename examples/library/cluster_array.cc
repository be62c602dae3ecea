// Clusters an array made in memory with brivane and prints the tree's top merges.
//
// 2,000 points in three groups on a plane, every pair's distance known
// (all_pairwise), so that the tree is exact: the last two merges join the
// three groups, far above every merge within a group.
#include <brivane/brivane.hpp>

#include <cmath>
#include <cstdio>
#include <vector>

int main()
{
    const int n = 2000;
    std::vector<float> points(2 * n);
    for (int i = 0; i < n; i++) {
        double angle = 0.61803398875 * i * 6.283185307;   // spread around each centre
        double radius = 0.5 * (i % 97) / 97.0;
        points[2 * i] = (float)(10 * (i % 3) + radius * std::cos(angle));
        points[2 * i + 1] = (float)(radius * std::sin(angle));
    }

    brivane::Options options;
    options.distance = "euclidean";
    options.linkage = "ave";
    options.all_pairwise = true;
    options.random_seed = 1;
    try {
        brivane::Tree tree = brivane::cluster({points.data(), brivane::Type::Float, n, 2}, options);
        int root = 2 * n - 2;
        std::printf("%d objects, %zu nodes\n", n, tree.left.size());
        for (int node = root; node > root - 3; node--)
            std::printf("merge %d joins nodes %d and %d at %.3f\n", node, tree.left[node], tree.right[node],
                        tree.distance[node]);
        // The first leaf in leaf order, and where object 0 went.
        std::printf("leaf order starts with object %d; object 0 is leaf %d\n", tree.new2old[0], tree.old2new[0]);
    } catch (const brivane::Error &error) {
        std::fprintf(stderr, "ERROR! %s\n", error.what());
        return error.status();
    }
    return 0;
}

// The run driver of brivane: main_arg, input inspection and loading, the global
// run state and the measure registries.  (Placeholder: the state only.)
#include "brivane.h"

#include <cstdlib>
#include <netcdfcpp.h>

#include "Distance.h"

NcFile *in = nullptr;
NcDim *clust_dim = nullptr;
int N = 0;
int C = 0;
int M = 0;
int type = 0;
int typesize[7] = {0, 0, 0, 0, 0, 0, 0};
char *xc = nullptr;
int *xi = nullptr;
float *xf = nullptr;
double *xd = nullptr;
int *distfrom = nullptr;
int *distto = nullptr;
int64_t memory = 0;
int num_distances = 0;
double epsilon = 0;

DistanceFactory<double> dfd;
DistanceFactory<float> dff;
DistanceFactory<char> dfc;
DistanceFactory<int> dfi;
Distance<double> *dd = nullptr;
Distance<float> *df = nullptr;
Distance<char> *dc = nullptr;
Distance<int> *di = nullptr;

void brivane_exit(int status)
{
    std::exit(status);
}

int main_arg()
{
    return 0;
}

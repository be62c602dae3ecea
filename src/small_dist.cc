#include "small_dist.h"

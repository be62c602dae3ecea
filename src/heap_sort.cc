#include "heap_sort.h"

#include "distances.h"

#include "Argumentyzer.h"

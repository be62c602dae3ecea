// The quality file: the report of the quality pass as a tab-separated text file.
#ifndef QUALITY_FILE_H
#define QUALITY_FILE_H

#include <string>
#include <vector>

#include "quality.h"

// Writes the quality file `name`: a header of '#' lines, one row per merge,
// and a closing summary with the joint cost (the sum of the true averages),
// for a run of `objects` objects that knew `stored` distances.  `extras`
// adds a last column, the true value of the run's linkage, named by its
// keyword in lower case, and a last closing line, the level-summed Ward
// cost; the other columns and lines are those of every run.  Written under
// a temporary name and renamed when complete; any failure ends the run with
// status 1.
void write_quality(const char *name, const std::vector<merge_quality_t> &merges, int objects, long long stored,
                   const quality_extras_t &extras = quality_extras_t());

// The checks before the run starts: the quality file's folder takes a new
// file, the name is not a folder, and it is neither the input nor the output
// file.  A failure ends the run with status 1.
void check_quality_file(const char *name, const char *input, const char *output);

// The command-line words after the program name, joined by blanks, as one
// line (negative numbers shown with their '-', control characters as '?').
std::string command_line_text();

#endif

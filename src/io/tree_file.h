// The dendrogram's NetCDF output file, with the leaf-ordered input copy of --output-data.
#ifndef TREE_FILE_H
#define TREE_FILE_H

class Run;

// The output file of a run's dendrogram, its merges filled in and its leaves
// in order (Run::cluster, Run::dense_cluster); any engine's merges are
// written through here.
void write_dendrogram(const Run &run);
// Ends the run, with the system's reason, when no output file of this name
// can be made (a folder, a missing folder, no permission): the check before
// any work of a file that is written after all of it.
void check_output_file(const char *name);
// Ends the run when the data copy (--output-data) meets an input variable of
// a type the output cannot hold.
void refuse_uncopyable_types();

#endif

// Reading the input file: its variables, shapes, values and fill cells.
#ifndef INPUT_FILE_H
#define INPUT_FILE_H

// The reading itself is the program run's (ProgramRun in brivane.h).

#endif

// How a program ends where its option handling decides that it must.
#ifndef PROGRAM_EXIT_H
#define PROGRAM_EXIT_H

// The ends of the process that the option handling decides (usage, a broken
// option table): the process exits with `status`.  Each program defines it.
[[noreturn]] void brivane_exit(int status);

#endif

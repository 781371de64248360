// icftool's command table: for each command its operands, its summary and
// its options, each option with its kind and the setting it fills. The
// table drives the usage text, every command's -h and the reading of every
// command line, so that a letter and the wording of its bad values live in
// one place.
#pragma once

#include <cstdio>

// The usage of every command, from the table, on `out`.
void print_usage(FILE *out);

// Reads the command line (argv[0] the program) by the table and runs the
// command it names; the exit status.
int run_command(int argc, char **argv);

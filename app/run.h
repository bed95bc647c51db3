// Run control: banner, argument checks, the card path, the exit code.
#pragma once

// Runs the program on `argc`/`argv` as the command line gave them; returns the exit code.
int run_program(int argc, const char* const* argv);

// main.cpp: entry of the command-line tool `trelvak` (see cli.h for the exit codes).
#include "cli/cli.h"

int main(int argc, char** argv) {
    return trelvak::cli::main_entry(argc, argv);
}

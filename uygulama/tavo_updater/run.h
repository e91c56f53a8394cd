// The run sequence of one update, from the command line to the exit code.
#ifndef TAVO_UPDATER_RUN_H
#define TAVO_UPDATER_RUN_H

// Runs an update (or, with --kurtar and no --zip, only the recovery of an
// interrupted one) as the command line asks; returns the exit code 0, 2, 3,
// 4, 5, 6 or 7.
int runUpdate(int argc, const char* const* argv);

#endif

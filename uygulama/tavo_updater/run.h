// The run sequence of one update, from the command line to the exit code.
#ifndef TAVO_UPDATER_RUN_H
#define TAVO_UPDATER_RUN_H

// Runs an update as the command line asks; returns the exit code 0, 2, 3 or 4.
int runUpdate(int argc, const char* const* argv);

#endif

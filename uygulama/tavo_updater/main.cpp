// Entry point of tavo_updater.
#include "run.h"

int main(int argc, char** argv) { return runUpdate(argc, argv); }

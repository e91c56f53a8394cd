// The packer's run: options, the walk of the release folder, its release
// list, and the archive written whole or not at all.
#ifndef TAVO_PAKET_PACKER_H
#define TAVO_PAKET_PACKER_H

// Runs tavo_paket with its arguments (UTF-8, argv[0] included); returns the
// exit code: 0 written, 2 bad arguments, 4 a refused folder or an archive
// that could not be written (nothing left at the archive's name then).
int runPacker(int argc, const char* const* argv);

#endif

// Scratch directories and file contents for tests, over std::filesystem.
#ifndef TAVO_TESTS_SCRATCH_H
#define TAVO_TESTS_SCRATCH_H

#include <map>
#include <string>

// A new empty directory under the system's temporary directory.
std::string makeScratchDir();

// Deletes a scratch directory and everything in it.
void removeScratchDir(const std::string& dir);

// Writes `content` to `path`, creating the parent directories.
void putFile(const std::string& path, const std::string& content);

// The file's content, or "<missing>" when it cannot be read.
std::string fileContent(const std::string& path);

// Every file and directory below `dir`: relative path ('/'-separated) to the
// file's content, or to "<dir>" for a directory.
std::map<std::string, std::string> treeOf(const std::string& dir);

#endif

// Path helpers over the platform layer: file test, directory creation along a
// path, and the path of an archive entry under a directory. Paths are never
// normalised.
#ifndef TAVO_UPDATER_PATHS_H
#define TAVO_UPDATER_PATHS_H

#include <string>

// True when `path` exists and is not a directory.
bool fileExists(const std::string& path);

// Creates every directory along `path`: each prefix that ends in '\' or '/',
// then the whole path. Results are not looked at.
void makeDirs(const std::string& path);

// Creates the directories above the file `path` (up to its last separator).
void makeParentDirs(const std::string& path);

// What is before the last separator of `path` (the directory that holds it).
std::string parentOf(const std::string& path);

// `base`, one '\', then `name` with every '/' turned into '\'.
std::string joinPath(const std::string& base, std::string name);

#endif

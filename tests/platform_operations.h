// Every operation of platform.h, one line each, for the fault-injecting
// layer: PLATFORM_PASS(return type, name, (parameters), (arguments)) for one
// that is passed through as it is, PLATFORM_OWN(return type, name,
// (parameters)) for one whose body platform_faulty.cpp writes itself (a
// fault, a kill point or a changed answer). tests/CMakeLists.txt reads the
// names from here to rename the POSIX build's functions to real_<name>;
// platform_faulty.cpp expands the lines into the real_ declarations and the
// pass-throughs. No include guard: it is expanded more than once.
// One line per operation: CMake reads them line by line.
// clang-format off
PLATFORM_PASS(std::string, systemPath, (const std::string& path), (path))
PLATFORM_PASS(bool, lookAt, (const std::string& path, PathInfo* info, bool followLink), (path, info, followLink))
PLATFORM_PASS(bool, storedName, (const std::string& path, std::string* name), (path, name))
PLATFORM_PASS(bool, listDirectory, (const std::string& path, std::vector<std::string>* names), (path, names))
PLATFORM_PASS(std::uint32_t, unixPermissions, (const PathInfo& info), (info))
PLATFORM_OWN(bool, createDirectory, (const std::string& path))
PLATFORM_OWN(bool, copyFileOver, (const std::string& from, const std::string& to))
PLATFORM_OWN(bool, moveFile, (const std::string& from, const std::string& to, bool replace))
PLATFORM_OWN(bool, removeFile, (const std::string& path))
PLATFORM_OWN(bool, removeDirectory, (const std::string& path))
PLATFORM_PASS(std::string, nameKey, (const std::string& name), (name))
PLATFORM_PASS(bool, canMoveAside, (const std::string& path), (path))
PLATFORM_PASS(bool, fileHolders, (const std::string& path, std::vector<FileHolder>* holders), (path, holders))
PLATFORM_OWN(bool, removeTree, (const std::string& path))
PLATFORM_OWN(bool, emptyDirectory, (const std::string& path))
PLATFORM_PASS(bool, sameFileContent, (const std::string& a, const std::string& b), (a, b))
PLATFORM_OWN(FileHandle, createOutputFile, (const std::string& path, const PathInfo* like))
PLATFORM_OWN(bool, writeOutputFile, (FileHandle file, const void* data, std::size_t size))
PLATFORM_PASS(bool, writeOutputFileAt, (FileHandle file, std::uint64_t offset, const void* data, std::size_t size), (file, offset, data, size))
PLATFORM_OWN(bool, closeOutputFile, (FileHandle file))
PLATFORM_OWN(bool, flushOutputFile, (FileHandle file))
PLATFORM_PASS(bool, syncFile, (const std::string& path), (path))
PLATFORM_OWN(bool, syncDirectory, (const std::string& path))
PLATFORM_OWN(bool, syncVolume, (const std::string& path))
PLATFORM_PASS(bool, freeSpace, (const std::string& path, std::uint64_t* bytes), (path, bytes))
PLATFORM_OWN(bool, readWholeFile, (const std::string& path, std::string* content))
PLATFORM_OWN(bool, setFileTimes, (const std::string& path, FileTime when))
PLATFORM_PASS(bool, waitForProcess, (std::uint32_t pid, unsigned milliseconds), (pid, milliseconds))
PLATFORM_OWN(void, sleepMilliseconds, (unsigned milliseconds))
PLATFORM_PASS(std::vector<std::string>, commandLineArguments, (int argc, char** argv), (argc, argv))
PLATFORM_PASS(bool, startProcess, (const std::string& exe, const std::string& workDir), (exe, workDir))
PLATFORM_PASS(HoldResult, holdDirectory, (const std::string& path, const std::string& lockDir, DirectoryHold* hold), (path, lockDir, hold))
PLATFORM_PASS(void, releaseDirectory, (DirectoryHold* hold), (hold))
PLATFORM_OWN(bool, openInputFile, (const std::string& path, InputFile* file, Reading reading))
PLATFORM_OWN(std::int64_t, readInputFile, (const InputFile& file, std::uint64_t offset, void* buffer, std::size_t size))
PLATFORM_PASS(bool, inputFileUnchanged, (const InputFile& file), (file))
PLATFORM_PASS(void, closeInputFile, (InputFile* file), (file))
// clang-format on

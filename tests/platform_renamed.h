// Forced into a second build of the POSIX platform file, so that its
// operations keep their behaviour under other names and the fault-injecting
// layer can take the real names and pass every call through.
#ifndef TAVO_TESTS_PLATFORM_RENAMED_H
#define TAVO_TESTS_PLATFORM_RENAMED_H

#define systemPath real_systemPath
#define pathAttributes real_pathAttributes
#define createDirectory real_createDirectory
#define lookAt real_lookAt
#define listDirectory real_listDirectory
#define unixPermissions real_unixPermissions
#define moveFile real_moveFile
#define syncDirectory real_syncDirectory
#define syncVolume real_syncVolume
#define copyFileOver real_copyFileOver
#define removeFile real_removeFile
#define canMoveAside real_canMoveAside
#define fileHolders real_fileHolders
#define removeTree real_removeTree
#define emptyDirectory real_emptyDirectory
#define fileIdentity real_fileIdentity
#define storedName real_storedName
#define freeSpace real_freeSpace
#define removeDirectory real_removeDirectory
#define nameKey real_nameKey
#define sameFileContent real_sameFileContent
#define createOutputFile real_createOutputFile
#define writeOutputFile real_writeOutputFile
#define closeOutputFile real_closeOutputFile
#define setFileTimes real_setFileTimes
#define flushOutputFile real_flushOutputFile
#define syncFile real_syncFile
#define readWholeFile real_readWholeFile
#define holdDirectory real_holdDirectory
#define releaseDirectory real_releaseDirectory
#define waitForProcess real_waitForProcess
#define sleepMilliseconds real_sleepMilliseconds
#define commandLineArguments real_commandLineArguments
#define startProcess real_startProcess
#define openInputFile real_openInputFile
#define readInputFile real_readInputFile
#define inputFileUnchanged real_inputFileUnchanged
#define closeInputFile real_closeInputFile
#define pathMissing real_pathMissing

#endif

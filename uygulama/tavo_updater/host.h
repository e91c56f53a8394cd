// The host application: waiting for it to end, and starting it again.
#ifndef TAVO_UPDATER_HOST_H
#define TAVO_UPDATER_HOST_H

#include <cstdint>
#include <string>

// `pidS` as the C runtime's strtoul reads it in base 10, as a 32-bit id:
// values above 4294967295 give 4294967295.
std::uint32_t parseProcessId(const std::string& pidS);

// Waits up to 30 s for process `pidS` (when given), then always 400 ms.
void waitForHost(const std::string& pidS);

// Starts `exe` in `hedef` when `exe` names an existing file.
void relaunch(const std::string& exe, const std::string& hedef);

#endif

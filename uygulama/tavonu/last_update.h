// What the last update did, as the stand-in application tells it: read
// from the outcome file the updater writes with --sonuc.
#ifndef TAVONU_LAST_UPDATE_H
#define TAVONU_LAST_UPDATE_H

#include <string>

// The line that says what the outcome `json` reports (without line end).
std::string describeOutcome(const std::string& json);

#endif

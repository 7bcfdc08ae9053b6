// The origin allow-list: domain patterns installed with setUnlockURL, an origin tested with
// unlock. A match sets urlUnlocked, which the caller then reads.
#pragma once
#include <string>
#include <vector>

// The allowed domain patterns in their written form, one per entry: "\S*" for a star, a backslash
// before a point or another sign, other characters as they stand. Empty at start.
extern std::vector<std::string> urlCheckList;
// Set by a successful unlock, cleared by setUnlockURL with a non-empty text; 0 at start.
extern unsigned char urlUnlocked;

// Installs the ";"-separated patterns: host names in which "*" stands for any run of non-blank
// characters; a leading "." matches any host ending in it, a trailing "." any host beginning
// with it. An empty text changes nothing.
void setUnlockURL(const char* text);
// Tests an http or https origin (host and optional port) against the list.
void unlock(const char* origin);
// The same two on a list and flag the caller owns (the two above work on urlCheckList and
// urlUnlocked), so that another check, the value store's, leaves the process-wide pair alone.
void setUnlockURL(const char* text, std::vector<std::string>& list, unsigned char& unlocked);
void unlock(const char* origin, const std::vector<std::string>& list, unsigned char& unlocked);

// Pieces of unlock, visible for the tests.
// The text an origin is matched on: every "http://" and "https://" removed (letter case counts),
// then every ":" with what follows it up to a line end.
std::string hostOfOrigin(const char* origin);
// Whether one of the patterns, optionally followed by "/", matches the whole host; letter case
// is ignored and a star stands for any run of non-blank characters.
bool hostMatchesList(const std::vector<std::string>& list, const std::string& host);

// The origin allow-list: domain patterns installed with setUnlockURL, an origin tested with
// unlock. A match sets urlUnlocked, which the caller then reads.
#pragma once
#include <string>
#include <vector>

// Regular-expression texts, one per allowed domain pattern; empty at start.
extern std::vector<std::string> urlCheckList;
// Set by a successful unlock, cleared by setUnlockURL with a non-empty text; 0 at start.
extern unsigned char urlUnlocked;

// Installs the ";"-separated patterns: host names in which "*" stands for any run of non-blank
// characters; a leading "." matches any host ending in it, a trailing "." any host beginning
// with it. An empty text changes nothing.
void setUnlockURL(const char* text);
// Tests an http or https origin (host and optional port) against the list.
void unlock(const char* origin);

// The result codes a page may get in a reply's "result", and the control calls the service makes
// into an adapter copy. Both cross the library boundary (the adapter answers its codes as decimal
// text, the service passes the control index as text), so the service, the adapter and the worker
// take them from here and never write the numbers themselves.
#pragma once

constexpr int kResultOk = 0;

// Input that could not be read or kept: no TLS details for the connection, a kept value that cannot
// be enciphered or deciphered, a NULL version text, no memory for the comparison.
constexpr int kResultUnreadable = 61001;
// A number conversion's own failures (the per-thread conversion status).
constexpr int kResultNotNumber = 61003;
constexpr int kResultNullText = 61004;
// A request lacks what it needs: a missing argument or a negative timeout, a version with an empty
// part, no or an unknown "FunctionName"; also the worker's exit code for a bad command line.
constexpr int kResultBadArguments = 61005;
constexpr int kResultUnknownPath = 61009;     // the PathID names no adapter the service knows
constexpr int kResultComponentError = 61011;  // the signing component raised an error
constexpr int kResultNoOrigin = 61012;        // neither Origin nor a usable Referer
constexpr int kResultMissingKey = 61016;      // a key the component function needs is missing
constexpr int kResultStoreFull = 61019;       // the value store has no free entry
constexpr int kResultServiceTooOld = 61203;   // older than the page's "minServerVersion"
constexpr int kResultAdapterTooOld = 61204;   // older than the page's "minLibVersion"
constexpr int kResultAdapterNotLoaded = 61902;
constexpr int kResultBadHost = 61904;        // Host neither localhost:<port> nor 127.0.0.1:<port>
constexpr int kResultNoComponent = 61905;    // the component could not be created
constexpr int kResultNoEntryPoints = 61906;  // the adapter copy lacks its entry points
constexpr int kResultLocked = 61908;         // the page has not unlocked the adapter

// An adapter's unlock or version answer inside this range is a refusal of its own, passed on.
constexpr int kResultAdapterRangeFirst = 61000;
constexpr int kResultAdapterRangeLast = 61999;

// The control calls: the index the service puts in the call's map, beside the function's name.
constexpr int kControlGetVersion = -1;
constexpr int kControlUnlock = -2;
constexpr int kControlRelease = -3;

#pragma once

#include <cstddef>
#include <string>

struct sockaddr;

// Diagnostic output on standard output. Any thread: each call formats into its own
// buffers and writes prefix and text with one formatted-output call.

namespace LogType {
enum LogType {
    Error = 0,
    Info = 1,
    Warnings = 2,
    RareReceivedMessage = 3,
    ReceivedMessage = 4,
    FrequentReceivedMessage = 5,
    Everything = 6
};
}

// Writes "id:<own id, hex>:[<synchronised ms>] " and then the formatted text. The text
// carries its own line end. A text longer than 1023 characters is printed whole.
void DebugPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints like DebugPrint for every level 0 to 6 (the level is not shown); any other level
// prints nothing. A percent sign in the finished text is printed as it is.
void DebugLog(LogType::LogType type, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Diagnostics caused by what peers send. A hostile peer can make the server repeat such a line
// as often as it likes, so each kind (its format, or any text the caller names it by) is
// bounded: one peer (the DebugInputSource in scope) prints at most INPUT_LINES_PER_SECOND lines
// of a kind a second; all peers together, and lines of no peer, at most INPUT_KIND_BURST lines
// of a kind at once, refilled by INPUT_KIND_LINES_PER_SECOND a second; and all kinds together
// at most INPUT_LINES_BURST at once, refilled by INPUT_LINES_ALL_KINDS_PER_SECOND a second. The
// rest are counted, and one line a second per kind says how many of it were left out. So many
// peers each doing something once all print (2000 clients joining at once print every line of
// theirs), while a flood from any number of connections writes at most 56,000 lines (at most
// about 150 bytes each: 8 MB) in its first minute and 36,000 (5 MB) in each after, besides a
// line a second per kind for what was left out. Lines that the game's own rules print
// (hand-overs, deaths, new players, region changes) go through DebugPrint and DebugLog, never
// bounded. Any thread.
// The numbers are in Common/Network/Limits.h.

// The peer whose input the calling thread handles while this lives: the lines asked for
// meanwhile count against that peer's allowance. Nests; the inner one counts. What it names
// is only read when a line is asked for, and must outlive it. Not copyable.
class DebugInputSource {
public:
    // A connection, by its socket (any pointer that stands for it); when there is none,
    // datagrams, by their source address (an IPv4 or IPv6 sockaddr, its port left out), read
    // anew at each line, so it may name a buffer that each datagram refills.
    DebugInputSource(const void* connection, const struct sockaddr* address);
    ~DebugInputSource();
    DebugInputSource(const DebugInputSource&) = delete;
    DebugInputSource& operator=(const DebugInputSource&) = delete;

private:
    const void* previousConnection_;
    const struct sockaddr* previousAddress_;
};

// Counts one line of the kind from the peer in scope; true when it is to be printed, false
// when it is left out. A line printed in pieces asks once and prints all its pieces or none.
bool DebugInputAllowed(const char* kind);

// DebugPrint and DebugLog of a line caused by network input, its format being its kind; true
// when it was printed.
bool DebugPrintInput(const char* format, ...) __attribute__((format(printf, 1, 2)));
bool DebugLogInput(LogType::LogType type, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Prints the line that says how many lines were left out, for every kind whose second has
// passed with lines left out. Called once a frame (main thread); a kind that is printed again
// reports its own earlier gap first.
void DebugReportLeftOutInput();

// Forgets every count, as if the process had just started; for tests.
void DebugResetInputLimitsForTesting();

// Bytes from the network as text that cannot forge a line or steer a terminal: printable ASCII
// as it is, a backslash doubled, anything else as \xNN.
std::string DebugEscape(const char* data, std::size_t size);
std::string DebugEscape(const std::string& text);

#pragma once

#include <cstddef>
#include <string>

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
// printed at most INPUT_LINES_PER_SECOND times a second; the rest are counted, and one line
// says how many of that kind were left out. Below that rate the output is as without it.
// Any thread.
enum { INPUT_LINES_PER_SECOND = 10 };

// Counts one line of the kind; true when it is to be printed, false when it is left out. A
// line printed in pieces asks once and prints all its pieces or none.
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

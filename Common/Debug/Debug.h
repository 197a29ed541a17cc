#pragma once

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

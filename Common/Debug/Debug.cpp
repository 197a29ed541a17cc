#include "Common/Debug/Debug.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include "Common/Engine/Timer.h"
#include "Common/Network/Network.h"

namespace {

// The usual 1024-byte buffer; a longer text is formatted again into a grown one instead of
// being cut, so a long exception text or dump reaches the operator whole.
std::string formatText(const char* format, va_list args) {
    char buffer[1024];
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(buffer, sizeof(buffer), format, args);
    std::string text;
    if (needed >= 0 && static_cast<size_t>(needed) < sizeof(buffer)) {
        text.assign(buffer, needed);
    } else if (needed >= 0) {
        text.resize(needed + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize(needed);
    }
    va_end(again);
    return text;
}

void printWithPrefix(const std::string& text) {
    const unsigned int time = Timer::getCurSyncedTime();
    const unsigned long long id = Network::getInstance()->ownId;
    char time_buffer[128];
    std::snprintf(time_buffer, sizeof(time_buffer), "id:%llx:[%u] ", id, time);
    std::printf("%s%s", time_buffer, text.c_str());
}

// Whether DebugLog prints at `type`: every level 0 to 6.
bool levelShown(LogType::LogType type) {
    return type >= LogType::Error && type <= LogType::Everything;
}

// The input lines of one kind in the current second.
struct InputWindow {
    uint64_t start = 0;
    unsigned int printed = 0;
    unsigned long long leftOut = 0;
};

// Kept for the whole run; never destroyed, as both threads print until the process ends.
boost::mutex& inputMutex() {
    static boost::mutex* mutex = new boost::mutex();
    return *mutex;
}

std::unordered_map<std::string, InputWindow>& inputWindows() {
    static std::unordered_map<std::string, InputWindow>* windows = new std::unordered_map<std::string, InputWindow>();
    return *windows;
}

// The kind as it is named in the line that reports a gap: its text, line end left off.
std::string kindText(const std::string& kind) {
    std::string text = kind;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return DebugEscape(text);
}

// With inputMutex held. Prints the gap of a window and starts the next.
void closeWindow(const std::string& kind, InputWindow& window, uint64_t now) {
    if (window.leftOut > 0)
        printWithPrefix("Left out " + std::to_string(window.leftOut) + " more lines \"" + kindText(kind) +
                        "\" in one second\n");
    window.start = now;
    window.printed = 0;
    window.leftOut = 0;
}

} // namespace

bool DebugInputAllowed(const char* kind) {
    const uint64_t now = Timer::getCurrentTime();
    boost::lock_guard<boost::mutex> lock(inputMutex());
    std::unordered_map<std::string, InputWindow>::iterator it = inputWindows().find(kind);
    if (it == inputWindows().end())
        it = inputWindows().emplace(kind, InputWindow{now, 0, 0}).first;
    InputWindow& window = it->second;
    if (now - window.start >= 1000)
        closeWindow(it->first, window, now);
    if (window.printed < INPUT_LINES_PER_SECOND) {
        ++window.printed;
        return true;
    }
    ++window.leftOut;
    return false;
}

void DebugReportLeftOutInput() {
    const uint64_t now = Timer::getCurrentTime();
    boost::lock_guard<boost::mutex> lock(inputMutex());
    for (auto& entry : inputWindows())
        if (entry.second.leftOut > 0 && now - entry.second.start >= 1000)
            closeWindow(entry.first, entry.second, now);
}

void DebugResetInputLimitsForTesting() {
    boost::lock_guard<boost::mutex> lock(inputMutex());
    inputWindows().clear();
}

std::string DebugEscape(const char* data, std::size_t size) {
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\\') {
            text += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            text.push_back(static_cast<char>(c));
        } else {
            text += "\\x";
            text.push_back(hex[c >> 4]);
            text.push_back(hex[c & 0xF]);
        }
    }
    return text;
}

std::string DebugEscape(const std::string& text) {
    return DebugEscape(text.data(), text.size());
}

bool DebugPrintInput(const char* format, ...) {
    if (!DebugInputAllowed(format))
        return false;
    va_list args;
    va_start(args, format);
    printWithPrefix(formatText(format, args));
    va_end(args);
    return true;
}

bool DebugLogInput(LogType::LogType type, const char* format, ...) {
    if (!levelShown(type) || !DebugInputAllowed(format))
        return false;
    va_list args;
    va_start(args, format);
    printWithPrefix(formatText(format, args));
    va_end(args);
    return true;
}

void DebugPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = formatText(format, args);
    va_end(args);
    printWithPrefix(text);
}

void DebugLog(LogType::LogType type, const char* format, ...) {
    if (!levelShown(type))
        return;
    va_list args;
    va_start(args, format);
    printWithPrefix(formatText(format, args));
    va_end(args);
}

#include "Common/Debug/Debug.h"

#include <cstdarg>
#include <cstdio>
#include <string>

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

} // namespace

void DebugPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = formatText(format, args);
    va_end(args);
    printWithPrefix(text);
}

void DebugLog(LogType::LogType type, const char* format, ...) {
    if (type < LogType::Error || type > LogType::Everything)
        return;
    va_list args;
    va_start(args, format);
    const std::string text = formatText(format, args);
    va_end(args);
    DebugPrint("%s", text.c_str());
}

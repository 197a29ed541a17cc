#include "Common/Debug/Debug.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>

#include <netinet/in.h>
#include <sys/socket.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include "Common/Engine/Timer.h"
#include "Common/Network/Limits.h"
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

// Lines that may still be printed: full at first, refilled at a steady rate up to full.
struct Ceiling {
    double lines = 0;
    uint64_t refilled = 0;

    // A clock set back refills nothing.
    void refill(uint64_t now, double full, double perSecond) {
        if (now > refilled)
            lines = std::min(full, lines + (now - refilled) * perSecond / 1000.0);
        refilled = now;
    }
};

// The input lines of one kind: its current second, with what each peer printed in it, and
// what the kind may still print from all peers together.
struct InputKind {
    uint64_t start = 0;
    unsigned long long leftOut = 0;
    // Only peers that printed in this second, so at most as many as the kind's ceiling lets
    // through: a flood of forged source addresses leaves nothing behind.
    std::unordered_map<uint64_t, unsigned int> printedBy;
    Ceiling ceiling;
};

// Kept for the whole run; never destroyed, as both threads print until the process ends.
boost::mutex& inputMutex() {
    static boost::mutex* mutex = new boost::mutex();
    return *mutex;
}

std::unordered_map<std::string, InputKind>& inputKinds() {
    static std::unordered_map<std::string, InputKind>* kinds = new std::unordered_map<std::string, InputKind>();
    return *kinds;
}

// With inputMutex held: what all kinds together may still print.
Ceiling& allKinds() {
    static Ceiling ceiling = {INPUT_LINES_BURST, Timer::getCurrentTime()};
    return ceiling;
}

// The peer whose input this thread handles: a connection, or the source address of datagrams.
thread_local const void* sourceConnection = nullptr;
thread_local const sockaddr* sourceAddress = nullptr;

// The peer in scope as a number; 0 for none. An IPv4 address has its own range, any other
// address a hash of its bytes (a collision only makes two peers share an allowance).
uint64_t sourceKey() {
    if (sourceConnection)
        return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(sourceConnection));
    if (!sourceAddress)
        return 0;
    if (sourceAddress->sa_family == AF_INET) {
        const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(sourceAddress);
        return (uint64_t(1) << 63) | v4->sin_addr.s_addr;
    }
    if (sourceAddress->sa_family == AF_INET6) {
        const sockaddr_in6* v6 = reinterpret_cast<const sockaddr_in6*>(sourceAddress);
        const unsigned char* bytes = v6->sin6_addr.s6_addr;
        uint64_t hash = 1469598103934665603ull;
        for (int i = 0; i < 16; ++i)
            hash = (hash ^ bytes[i]) * 1099511628211ull;
        return hash | (uint64_t(1) << 62);
    }
    return 0;
}

// The kind as it is named in the line that reports a gap: its text, line end left off.
std::string kindText(const std::string& kind) {
    std::string text = kind;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return DebugEscape(text);
}

// With inputMutex held. Prints the gap of a kind's second and starts the next.
void closeSecond(const std::string& kind, InputKind& lines, uint64_t now) {
    if (lines.leftOut > 0)
        printWithPrefix("Left out " + std::to_string(lines.leftOut) + " more lines \"" + kindText(kind) +
                        "\" in one second\n");
    lines.start = now;
    lines.leftOut = 0;
    lines.printedBy.clear();
}

} // namespace

DebugInputSource::DebugInputSource(const void* connection, const sockaddr* address)
    : previousConnection_(sourceConnection), previousAddress_(sourceAddress) {
    sourceConnection = connection;
    sourceAddress = connection ? nullptr : address;
}

DebugInputSource::~DebugInputSource() {
    sourceConnection = previousConnection_;
    sourceAddress = previousAddress_;
}

bool DebugInputAllowed(const char* kind) {
    const uint64_t now = Timer::getCurrentTime();
    const uint64_t source = sourceKey();
    boost::lock_guard<boost::mutex> lock(inputMutex());
    std::unordered_map<std::string, InputKind>::iterator it = inputKinds().find(kind);
    if (it == inputKinds().end()) {
        it = inputKinds().emplace(kind, InputKind()).first;
        it->second.start = now;
        it->second.ceiling = {INPUT_KIND_BURST, now};
    }
    InputKind& lines = it->second;
    if (now - lines.start >= 1000)
        closeSecond(it->first, lines, now);
    lines.ceiling.refill(now, INPUT_KIND_BURST, INPUT_KIND_LINES_PER_SECOND);
    Ceiling& all = allKinds();
    all.refill(now, INPUT_LINES_BURST, INPUT_LINES_ALL_KINDS_PER_SECOND);
    if (source != 0) {
        std::unordered_map<uint64_t, unsigned int>::iterator peer = lines.printedBy.find(source);
        if (peer != lines.printedBy.end() && peer->second >= INPUT_LINES_PER_SECOND) {
            ++lines.leftOut;
            return false;
        }
    }
    if (lines.ceiling.lines < 1 || all.lines < 1) {
        ++lines.leftOut;
        return false;
    }
    lines.ceiling.lines -= 1;
    all.lines -= 1;
    if (source != 0)
        ++lines.printedBy[source];
    return true;
}

void DebugReportLeftOutInput() {
    const uint64_t now = Timer::getCurrentTime();
    boost::lock_guard<boost::mutex> lock(inputMutex());
    for (auto& entry : inputKinds())
        if (entry.second.leftOut > 0 && now - entry.second.start >= 1000)
            closeSecond(entry.first, entry.second, now);
}

void DebugResetInputLimitsForTesting() {
    boost::lock_guard<boost::mutex> lock(inputMutex());
    inputKinds().clear();
    allKinds() = {INPUT_LINES_BURST, Timer::getCurrentTime()};
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

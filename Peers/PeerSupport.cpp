#include "Peers/PeerSupport.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

#include <boost/program_options/parsers.hpp>
#include <boost/program_options/variables_map.hpp>

#include "Common/Network/MessageTypes.h"

void peerSay(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool parseVector(const std::string& text, Vector3& out) {
    float values[3];
    const char* at = text.c_str();
    for (int i = 0; i < 3; ++i) {
        char* end = nullptr;
        errno = 0;
        values[i] = std::strtof(at, &end);
        if (end == at || errno != 0 || !std::isfinite(values[i]))
            return false;
        const char expected = i < 2 ? ',' : '\0';
        if (*end != expected)
            return false;
        at = end + 1;
    }
    out = Vector3(values[0], values[1], values[2]);
    return true;
}

namespace {

bool parseWhole(const std::string& text, int base, unsigned long long& out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(text.c_str(), &end, base);
    return errno == 0 && *end == '\0';
}

} // namespace

bool parseId(const std::string& text, uint64_t& out) {
    unsigned long long value = 0;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!parseWhole(hex ? text.substr(2) : text, hex ? 16 : 10, value))
        return false;
    out = value;
    return true;
}

bool parseUnsigned(const std::string& text, uint32_t& out) {
    unsigned long long value = 0;
    if (!parseWhole(text, 10, value) || value > 0xFFFFFFFFull)
        return false;
    out = static_cast<uint32_t>(value);
    return true;
}

std::string vectorText(const Vector3& v) {
    char buffer[128];
    std::snprintf(buffer, sizeof(buffer), "(%g,%g,%g)", v.x, v.y, v.z);
    return buffer;
}

std::string messageName(int messageType) {
    static const char* const names[] = {"Logout",
                                        "ObjectInfo",
                                        "ObjectUpdate",
                                        "ObjectDestroy",
                                        "ClientUpdate",
                                        "Welcome",
                                        "Login",
                                        "ServerWelcome",
                                        "ConnectToNearBy",
                                        "TransferControl",
                                        "CoordinatorWelcome",
                                        "TransferPlayerTo",
                                        "RegionUpdate",
                                        "ServerStatus",
                                        "Ping",
                                        "Pong"};
    if (messageType >= MessageTypes::Logout && messageType <= MessageTypes::Pong)
        return names[messageType - MessageTypes::Logout];
    return "type " + std::to_string(messageType);
}

std::string qportBytes(uint32_t qport) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((qport >> (8 * i)) & 0xFF);
    return bytes;
}

Quaternion rotationFromForward(const Vector3& direction) {
    Vector3 d = direction;
    d.normalise();
    // Half-way quaternion of the shortest arc from (0,0,1): w = 1 + cos, axis = forward x d.
    Quaternion q(1.0f + d.z, -d.y, d.x, 0.0f);
    if (q.w < 1e-6f)
        return Quaternion(0.0f, 1.0f, 0.0f, 0.0f); // straight backwards: half a turn about x
    q.normalise();
    return q;
}

int readCommandLine(int argc, char** argv, const boost::program_options::options_description& description,
                    const boost::program_options::positional_options_description* positional, const char* usage) {
    namespace po = boost::program_options;
    try {
        po::variables_map values;
        po::command_line_parser parser(argc, argv);
        parser.options(description);
        if (positional)
            parser.positional(*positional);
        po::store(parser.run(), values);
        // Before the check of required options, which --help alone would not give.
        if (values.count("help")) {
            if (usage)
                std::printf("%s\n", usage);
            std::cout << description << std::endl;
            return 1;
        }
        po::notify(values);
    } catch (const std::exception& e) {
        peerSay("bad options: %s", e.what());
        return 2;
    }
    return 0;
}

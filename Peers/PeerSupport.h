#pragma once

#include <cstdint>
#include <string>

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/positional_options.hpp>

#include "Common/Math/Quaternion.h"
#include "Common/Math/Vector3.h"

// Small helpers shared by the stand-in coordinator and the stand-in game client.

// Prints one readable line (printf format, without its line end) and flushes it at once, so
// that a test or an operator reading the pipe sees every event as it happens.
void peerSay(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "x,y,z" (three finite numbers, nothing else) into `out`; false otherwise, `out` untouched.
bool parseVector(const std::string& text, Vector3& out);

// "0x" followed by hexadecimal digits, or decimal digits, filling 64 bits at most; false
// otherwise. Object ids are printed in hexadecimal, so both forms are accepted back.
bool parseId(const std::string& text, uint64_t& out);

// A whole decimal number that fits 32 bits; false otherwise.
bool parseUnsigned(const std::string& text, uint32_t& out);

// "(x,y,z)" with short numbers, for the lines we print.
std::string vectorText(const Vector3& v);

// The name of a frame's type byte ("Login", "ServerStatus", ...), or "type <n>".
std::string messageName(int messageType);

// The 4-byte little-endian qport that starts every datagram to a region server.
std::string qportBytes(uint32_t qport);

// The rotation that turns the ship's forward axis (0,0,1) onto `direction` (any length but 0).
Quaternion rotationFromForward(const Vector3& direction);

// Reads the command line into the values that `description` names, with `positional` arguments
// when given. 0 to go on; otherwise the status to end with: 1 after printing `usage` (when given)
// and the options for "help", 2 after one line on a bad option.
int readCommandLine(int argc, char** argv, const boost::program_options::options_description& description,
                    const boost::program_options::positional_options_description* positional = nullptr,
                    const char* usage = nullptr);

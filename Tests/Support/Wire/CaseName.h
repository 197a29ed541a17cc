#pragma once

#include <cctype>
#include <string>

#include <gtest/gtest.h>

// Names a parameterised case after its `what` text, so test names stay readable and the
// same from build to build (the default prints the parameter's bytes).
template <class Case> std::string caseName(const testing::TestParamInfo<Case>& info) {
    std::string name;
    for (const char* c = info.param.what; *c; ++c)
        name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return name + "_" + std::to_string(info.index);
}

// Prints a case as its `what` text (test listings show the parameter); use beside the case
// type, in its namespace.
#define PRINT_CASE_AS_WHAT(Case)                           \
    inline void PrintTo(const Case& c, std::ostream* os) { \
        *os << c.what;                                     \
    }

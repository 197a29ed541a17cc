#pragma once

#include <initializer_list>
#include <string>

// Raw bytes written as numbers, for encodings that are easier to read that way.
inline std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (int v : values)
        text.push_back(static_cast<char>(v));
    return text;
}

#pragma once
#include <stdio.h>

#include <string>

// Control bytes and bytes above 127 as escapes, so a failing case prints readably.
inline std::string Printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 32 && c < 127) {
            out += (char)c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out.size() > 200 ? out.substr(0, 200) + "..." : out;
}

// Numbers and addresses as a user types them, and addresses as we print them.
#include "text.h"

#include <cstdio>
#include <cstring>

// Whole decimal number of 1 to max_digits digits, nothing else.
bool ParseDecimal(const char* text, int max_digits, uint64_t* value) {
    uint64_t v = 0;
    int digits = 0;
    for (; text[digits] != '\0'; ++digits) {
        if (digits == max_digits || text[digits] < '0' || text[digits] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(text[digits] - '0');
    }
    *value = v;
    return digits > 0;
}

bool ParseDottedQuad(const char* text, uint32_t* addr) {
    uint8_t bytes[4];
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        int value = 0, digits = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (++digits > 3) return false;
            value = value * 10 + (*p - '0');
        }
        if (digits == 0 || value > 255) return false;
        if (*p != (i < 3 ? '.' : '\0')) return false;
        if (i < 3) ++p;
        bytes[i] = static_cast<uint8_t>(value);
    }
    memcpy(addr, bytes, sizeof bytes);  // in the order sent: network byte order
    return true;
}

const char* DottedQuad(uint32_t addr, char* text) {
    uint8_t b[4];
    memcpy(b, &addr, sizeof b);
    snprintf(text, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

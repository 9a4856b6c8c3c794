// Numbers and IPv4 addresses as a user types them, read strictly, and
// addresses written back as text. Pure: below everything that reads the
// command line, the lists and the announcements.
#pragma once

#include <cstdint>

// Whole decimal number of 1 to max_digits digits, nothing else.
bool ParseDecimal(const char* text, int max_digits, uint64_t* value);

// Strict dotted quad "a.b.c.d", each 0-255 in decimal. Network byte order.
bool ParseDottedQuad(const char* text, uint32_t* addr);
// And back: the address (network byte order) as text in text[16].
const char* DottedQuad(uint32_t addr, char* text);

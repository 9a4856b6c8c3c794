// Text for JSON lines: pure helpers, for the report and its tests.
#pragma once

#include <cstddef>
#include <cstdint>

// `bytes` as a JSON string with its quotes, valid UTF-8 whatever it holds:
// quote, backslash and control bytes escaped, valid UTF-8 sequences kept,
// every other byte escaped as \u00XX. Returns the length written, never
// more than cap - 1 (zero-terminated); 6 * len + 3 always fits.
size_t JsonString(const char* bytes, size_t len, char* out, size_t cap);
// "2026-12-08T14:30:01.123Z". out holds at least 25 bytes.
void IsoUtc(uint64_t utc_ms, char* out);
// The hex text of a SHA-256 into out[65].
void Sha256Hex(const uint8_t digest[32], char* out);

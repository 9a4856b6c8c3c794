// Text for JSON: strings that are valid UTF-8 whatever bytes the network
// sent, UTC times, and digests as hex.
#include "json.h"

#include <cstring>

namespace {

// Four-digit years are all that 25 bytes of ISO text hold.
constexpr uint64_t kLastIsoUtcMs = 253402300799999;  // 9999-12-31T23:59:59.999Z
constexpr uint64_t kMsPerDay = 86400000;
constexpr uint64_t kMsPerHour = 3600000;
constexpr uint64_t kMsPerMinute = 60000;
constexpr uint64_t kMsPerSecond = 1000;
// Days from 0000-03-01 to 1970-01-01 in the proleptic Gregorian calendar.
constexpr uint64_t kEpochFromMarch0Days = 719468;
constexpr uint64_t kDaysPer400Years = 146097;

// Length of the well-formed UTF-8 sequence (RFC 3629) at p, or 0. The
// second byte's range is what excludes overlongs, surrogates and code
// points above U+10FFFF.
size_t Utf8SequenceBytes(const unsigned char* p, size_t left) {
    const unsigned char lead = p[0];
    size_t need = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (left < need || p[1] < lo || p[1] > hi) return 0;
    for (size_t k = 2; k < need; ++k)
        if ((p[k] & 0xC0) != 0x80) return 0;
    return need;
}

// The escape for one byte that may not stand as it is, into esc[0..7).
const char* Escape(unsigned char b, char* esc) {
    switch (b) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '\b': return "\\b";
    case '\f': return "\\f";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: break;
    }
    const char* hex = "0123456789abcdef";
    memcpy(esc, "\\u00", 4);
    esc[4] = hex[b >> 4];
    esc[5] = hex[b & 0xF];
    esc[6] = '\0';
    return esc;
}

void Digits(char* out, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

}  // namespace

size_t JsonString(const char* bytes, size_t len, char* out, size_t cap) {
    size_t n = 0;
    bool fits = cap > 0;
    // Appends stop at the first piece that does not fit.
    auto put = [&](const char* text, size_t k) {
        if (!fits || n + k >= cap) {
            fits = false;
            return;
        }
        memcpy(out + n, text, k);
        n += k;
    };
    const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes);
    put("\"", 1);
    for (size_t i = 0; i < len && fits;) {
        const unsigned char b = in[i];
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
            put(bytes + i, 1);
            ++i;
            continue;
        }
        const size_t seq = b >= 0x80 ? Utf8SequenceBytes(in + i, len - i) : 0;
        if (seq > 0) {
            put(bytes + i, seq);
            i += seq;
            continue;
        }
        char esc[7];
        const char* e = Escape(b, esc);
        put(e, strlen(e));
        ++i;
    }
    put("\"", 1);
    if (!fits) {
        if (cap > 0) out[0] = '\0';
        return 0;
    }
    out[n] = '\0';
    return n;
}

// Civil from days (proleptic Gregorian, years counted from March so that
// the leap day comes last); gmtime is not thread-safe everywhere, and its
// safe variants differ by platform.
void IsoUtc(uint64_t utc_ms, char* out) {
    if (utc_ms > kLastIsoUtcMs) utc_ms = kLastIsoUtcMs;
    const uint64_t days = utc_ms / kMsPerDay;
    const uint64_t ms_of_day = utc_ms % kMsPerDay;
    const uint64_t z = days + kEpochFromMarch0Days;
    const uint64_t era = z / kDaysPer400Years;
    const uint64_t doe = z - era * kDaysPer400Years;                          // [0, 146096]
    const uint64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // [0, 399]
    const uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
    const uint64_t mp = (5 * doy + 2) / 153;                                    // March is 0
    const unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    const unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    const unsigned year = static_cast<unsigned>(yoe + era * 400 + (month <= 2 ? 1 : 0));

    memcpy(out, "0000-00-00T00:00:00.000Z", 25);
    Digits(out, year, 4);
    Digits(out + 5, month, 2);
    Digits(out + 8, day, 2);
    Digits(out + 11, static_cast<unsigned>(ms_of_day / kMsPerHour), 2);
    Digits(out + 14, static_cast<unsigned>(ms_of_day % kMsPerHour / kMsPerMinute), 2);
    Digits(out + 17, static_cast<unsigned>(ms_of_day % kMsPerMinute / kMsPerSecond), 2);
    Digits(out + 20, static_cast<unsigned>(ms_of_day % kMsPerSecond), 3);
}

void Sha256Hex(const uint8_t digest[32], char* out) {
    const char* hex = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0xF];
    }
    out[64] = '\0';
}

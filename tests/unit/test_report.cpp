// The --report lines: valid JSON and UTF-8 whatever a machine calls itself,
// the documented keys in their order, and UTC times without the C library.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "json.h"
#include "report.h"

namespace {

constexpr char kCanary = '\x5A';

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += static_cast<char>(b);
    return s;
}

std::string Escaped(const std::string& in, size_t cap) {
    const std::vector<char> exact(in.begin(), in.end());  // no terminator to hide a read beyond it
    std::vector<char> out(cap + 16, kCanary);
    const size_t n = JsonString(exact.data(), exact.size(), out.data(), cap);
    for (size_t i = cap; i < out.size(); ++i) EXPECT_EQ(out[i], kCanary) << "written at " << i;
    EXPECT_EQ(n, strlen(out.data()));
    return std::string(out.data(), n);
}

// Invalid bytes come back as the code points U+0080..U+00FF they were
// escaped as; these are those code points in UTF-8.
std::string Latin1(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s += Bytes({0xC0 | b >> 6, 0x80 | (b & 0x3F)});
    return s;
}

TEST(Report, HostileNamesBecomeValidJsonStrings) {
    struct Case {
        const char* what;
        std::string in, decoded;
        const char* escaped;  // the exact text, where its form matters
    };
    std::string controls;
    for (int b = 1; b < 0x20; ++b) controls += static_cast<char>(b);
    controls += '\x7F';
    const std::string euro = Bytes({0xE2, 0x82, 0xAC}), grin = Bytes({0xF0, 0x9F, 0x98, 0x80});
    const std::string e_acute = Bytes({0xC3, 0xA9});
    const std::string utf8 = "Tavix" + e_acute + euro + grin;
    const std::string all_ff(kRecordNameBytes, '\xFF');
    std::string all_ff_decoded;
    for (size_t i = 0; i < all_ff.size(); ++i) all_ff_decoded += Latin1({0xFF});
    const Case cases[] = {
        {"quote and backslash", "a\"b\\c", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"every control byte and DEL", controls, controls, nullptr},
        {"short escapes", "\b\t\n\f\r", "\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
        {"other controls and DEL", "\x01\x1F\x7F", "\x01\x1F\x7F", "\"\\u0001\\u001f\\u007f\""},
        {"NUL in the middle", std::string("ab\0cd", 5), std::string("ab\0cd", 5), "\"ab\\u0000cd\""},
        {"valid 2, 3 and 4 bytes", utf8, utf8, nullptr},
        {"overlong 2 bytes", Bytes({0xC0, 0xAF}), Latin1({0xC0, 0xAF}), "\"\\u00c0\\u00af\""},
        {"overlong 3 bytes", Bytes({0xE0, 0x80, 0xAF}), Latin1({0xE0, 0x80, 0xAF}), nullptr},
        {"overlong 4 bytes", Bytes({0xF0, 0x82, 0x82, 0xAC}), Latin1({0xF0, 0x82, 0x82, 0xAC}), nullptr},
        {"surrogate", Bytes({0xED, 0xA0, 0x80}), Latin1({0xED, 0xA0, 0x80}), nullptr},
        {"above U+10FFFF", Bytes({0xF4, 0x90, 0x80, 0x80}), Latin1({0xF4, 0x90, 0x80, 0x80}), nullptr},
        {"lead byte beyond F4", Bytes({0xF5, 0x80, 0x80, 0x80}), Latin1({0xF5, 0x80, 0x80, 0x80}), nullptr},
        {"U+10FFFF itself", Bytes({0xF4, 0x8F, 0xBF, 0xBF}), Bytes({0xF4, 0x8F, 0xBF, 0xBF}), nullptr},
        {"truncated 3 bytes at the end", "a" + euro.substr(0, 2), "a" + Latin1({0xE2, 0x82}), nullptr},
        {"truncated 4 bytes at the end", grin.substr(0, 3), Latin1({0xF0, 0x9F, 0x98}), nullptr},
        {"truncated then ASCII", Bytes({0xC3}) + "x", Latin1({0xC3}) + "x", nullptr},
        {"lone continuation bytes", Bytes({0x80}) + "x" + Bytes({0xBF}), Latin1({0x80}) + "x" + Latin1({0xBF}),
         nullptr},
        {"FE and FF", Bytes({0xFE, 0xFF}), Latin1({0xFE, 0xFF}), "\"\\u00fe\\u00ff\""},
        {"valid right after invalid", Bytes({0xFF}) + e_acute, Latin1({0xFF}) + e_acute, nullptr},
        {"512 bytes of FF", all_ff, all_ff_decoded, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // 6 * len + 3 is what the header promises always fits.
        const std::string out = Escaped(c.in, 6 * c.in.size() + 3);
        ASSERT_FALSE(out.empty());
        if (c.escaped) {
            EXPECT_EQ(out, c.escaped);
        }
        for (char ch : out) EXPECT_TRUE(static_cast<unsigned char>(ch) >= 0x20 && ch != '\x7F');
        nlohmann::json j;
        ASSERT_NO_THROW(j = nlohmann::json::parse(out));
        ASSERT_TRUE(j.is_string());
        EXPECT_EQ(j.get<std::string>(), c.decoded);
    }

    // Too small: nothing but an empty string, never a cut one, and not a byte
    // beyond cap, whichever escape or sequence the end falls into.
    const std::string in = "\"" + e_acute + "\xFF\n" + grin;
    const std::string whole = Escaped(in, 6 * in.size() + 3);
    for (size_t cap = 0; cap <= whole.size(); ++cap) {
        SCOPED_TRACE(cap);
        std::vector<char> out(cap + 16, kCanary);
        EXPECT_EQ(JsonString(in.data(), in.size(), out.data(), cap), 0u);
        if (cap > 0) {
            EXPECT_EQ(out[0], '\0');
        }
        for (size_t i = cap; i < out.size(); ++i) EXPECT_EQ(out[i], kCanary);
    }
    EXPECT_EQ(Escaped(in, whole.size() + 1), whole);
}

TEST(Report, IsoUtcKnownInstants) {
    struct Case {
        uint64_t ms;
        const char* text;
    };
    for (const Case& c : {Case{0, "1970-01-01T00:00:00.000Z"}, Case{951782400000, "2000-02-29T00:00:00.000Z"},
                          Case{951868799999, "2000-02-29T23:59:59.999Z"},
                          Case{1796740201123, "2026-12-08T14:30:01.123Z"},
                          Case{2147483647999, "2038-01-19T03:14:07.999Z"},
                          Case{2147483648000, "2038-01-19T03:14:08.000Z"},
                          Case{4107542399999, "2100-02-28T23:59:59.999Z"},  // 2100 has no leap day
                          Case{4107542400000, "2100-03-01T00:00:00.000Z"},
                          Case{253402300799999, "9999-12-31T23:59:59.999Z"},
                          Case{UINT64_MAX, "9999-12-31T23:59:59.999Z"}}) {
        SCOPED_TRACE(c.text);
        char out[25 + 8];
        memset(out, kCanary, sizeof out);
        IsoUtc(c.ms, out);
        EXPECT_STREQ(out, c.text);
        for (size_t i = 25; i < sizeof out; ++i) EXPECT_EQ(out[i], kCanary);
    }
}

MachineRecord Record(const std::string& name) {
    MachineRecord r;
    const uint8_t addr[4] = {192, 168, 1, 40};
    memcpy(&r.addr, addr, sizeof addr);
    memcpy(r.name, name.data(), name.size());
    r.name_len = static_cast<int>(name.size());
    return r;
}

std::vector<std::string> Keys(const nlohmann::ordered_json& j) {
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    return keys;
}

TEST(Report, LinesParseWithEveryKeyInOrder) {
    std::vector<char> buf(kReportLineBytes);
    const std::vector<std::string> machine_keys = {
        "address",  "name",          "model",       "serial",      "result",       "reason",
        "image",    "image_bytes",   "image_sha256", "started",     "finished",     "reset_to_boot_ms",
        "transfer_ms", "run_to_confirm_ms", "data_blocks_sent", "data_blocks_resent", "tries", "last_failure"};
    const std::string sha(64, 'a');

    MachineRecord updated = Record("Tavix7");
    updated.has_serial = true;
    updated.serial = 1001;
    updated.result = RESULT_UPDATED;
    updated.started_utc_ms = 1796740201123;
    updated.finished_utc_ms = 1796740213456;
    updated.reset_to_boot_ms = 1510;
    updated.transfer_ms = 1290;
    updated.run_to_confirm_ms = 480;
    updated.blocks_sent = 64;
    updated.tries = 2;
    updated.last_failure = REASON_TRANSFER_FAILED;
    size_t n = ReportMachineLine(updated, "fw.bin", 65536, sha.c_str(), buf.data(), buf.size());
    EXPECT_EQ(std::string(buf.data(), n),
              "{\"address\":\"192.168.1.40\",\"name\":\"Tavix7\",\"model\":\"Tavix7\",\"serial\":1001,\"result\":\"updated\","
              "\"reason\":null,\"image\":\"fw.bin\",\"image_bytes\":65536,\"image_sha256\":\"" + sha + "\","
              "\"started\":\"2026-12-08T14:30:01.123Z\",\"finished\":\"2026-12-08T14:30:13.456Z\","
              "\"reset_to_boot_ms\":1510,\"transfer_ms\":1290,\"run_to_confirm_ms\":480,\"data_blocks_sent\":64,"
              "\"data_blocks_resent\":0,\"tries\":2,\"last_failure\":\"transfer failed\"}\n");

    // The widest line there can be must fit the buffer the report uses.
    MachineRecord worst = Record(std::string(kRecordNameBytes, '\xFF'));
    worst.addr = UINT32_MAX;
    worst.has_serial = true;
    worst.serial = UINT32_MAX;
    worst.result = RESULT_UNCONFIRMED;
    worst.reason = REASON_BOOT_NOT_HEARD;
    worst.started_utc_ms = worst.finished_utc_ms = UINT64_MAX;
    worst.reset_to_boot_ms = worst.transfer_ms = worst.run_to_confirm_ms = INT64_MAX;
    worst.blocks_sent = worst.blocks_resent = UINT32_MAX;
    worst.tries = INT_MIN;
    worst.last_failure = REASON_WORKER_FAILED;
    const std::string worst_path(128, '\x01');  // block 0 holds no longer path
    n = ReportMachineLine(worst, worst_path.c_str(), LONG_MIN, sha.c_str(), buf.data(), buf.size());
    ASSERT_GT(n, 0u);
    EXPECT_EQ(n, strlen(buf.data()));
    nlohmann::ordered_json j = nlohmann::ordered_json::parse(std::string(buf.data(), n));
    EXPECT_EQ(Keys(j), machine_keys);
    EXPECT_EQ(j["name"].get<std::string>().size(), 2u * kRecordNameBytes);
    EXPECT_EQ(j["image"], worst_path);
    EXPECT_EQ(j["image_bytes"], LONG_MIN);
    EXPECT_EQ(j["reset_to_boot_ms"], INT64_MAX);
    EXPECT_EQ(ReportMachineLine(worst, worst_path.c_str(), LONG_MIN, sha.c_str(), buf.data(), n + 1), n);
    EXPECT_EQ(ReportMachineLine(worst, worst_path.c_str(), LONG_MIN, sha.c_str(), buf.data(), n), 0u);

    // Nothing known beyond the failure: null, not zero or an empty text.
    MachineRecord failed = Record(std::string("Boot\0\xFF", 6));
    failed.reason = REASON_BOOT_NOT_HEARD;
    n = ReportMachineLine(failed, "dir/\"fw\".bin", 0, nullptr, buf.data(), buf.size());
    ASSERT_GT(n, 0u);
    ASSERT_EQ(buf[n - 1], '\n');
    j = nlohmann::ordered_json::parse(std::string(buf.data(), n));
    EXPECT_EQ(Keys(j), machine_keys);
    EXPECT_EQ(j["name"], std::string("Boot\0", 5) + Latin1({0xFF}));
    EXPECT_EQ(j["image"], "dir/\"fw\".bin");
    EXPECT_EQ(j["result"], "failed");
    EXPECT_EQ(j["reason"], "boot loader not heard");
    for (const char* key : {"model", "serial", "reset_to_boot_ms", "transfer_ms", "run_to_confirm_ms", "image_sha256"}) {
        SCOPED_TRACE(key);
        EXPECT_TRUE(j[key].is_null());
    }

    // Named by its serial number and never heard: only that is known.
    MachineRecord missing;
    missing.addr_known = false;
    missing.has_serial = true;
    missing.serial = 1042;
    missing.result = RESULT_MISSING;
    missing.reason = REASON_NOT_HEARD;
    missing.tries = 0;
    n = ReportMachineLine(missing, "fw.bin", 65536, sha.c_str(), buf.data(), buf.size());
    j = nlohmann::ordered_json::parse(std::string(buf.data(), n));
    EXPECT_EQ(Keys(j), machine_keys);
    EXPECT_EQ(j["serial"], 1042);
    EXPECT_EQ(j["result"], "missing");
    EXPECT_EQ(j["reason"], "not heard");
    EXPECT_EQ(j["tries"], 0);
    for (const char* key : {"address", "name", "model", "started", "finished", "transfer_ms", "last_failure"}) {
        SCOPED_TRACE(key);
        EXPECT_TRUE(j[key].is_null());
    }

    const uint32_t addr = updated.addr;
    n = ReportListedLine(addr, "BootTavix7", 10, true, false, 0, buf.data(), buf.size());
    EXPECT_EQ(std::string(buf.data(), n),
              "{\"address\":\"192.168.1.40\",\"name\":\"BootTavix7\",\"model\":\"Tavix7\",\"serial\":null,"
              "\"kind\":\"boot loader\","
              "\"image_sha256\":null}\n");

    const int counts[kReportCounts] = {1, 1, 1, 2, 3};
    n = ReportSummaryLine(counts, false, 3, 1796740201123, 1796740213456, "0.1.0", sha.c_str(), buf.data(),
                          buf.size());
    const std::string times = "\"started\":\"2026-12-08T14:30:01.123Z\",\"finished\":\"2026-12-08T14:30:13.456Z\"";
    EXPECT_EQ(std::string(buf.data(), n),
              "{\"summary\":{\"updated\":1,\"failed\":1,\"unconfirmed\":1,\"missing\":2,\"skipped\":3},\"status\":3," + times +
                  ",\"version\":\"0.1.0\",\"image_sha256\":\"" + sha + "\"}\n");
    const int listed[kReportCounts] = {2, 0, 0, 1, 0};
    n = ReportSummaryLine(listed, true, 3, 1796740201123, 1796740213456, "0.1.0", nullptr, buf.data(), buf.size());
    j = nlohmann::ordered_json::parse(std::string(buf.data(), n));
    EXPECT_EQ(Keys(j),
              (std::vector<std::string>{"summary", "status", "started", "finished", "version", "image_sha256"}));
    EXPECT_EQ(j["summary"], nlohmann::ordered_json::parse("{\"listed\":2,\"missing\":1,\"skipped\":0}"));
    EXPECT_TRUE(j["image_sha256"].is_null());
}

}  // namespace

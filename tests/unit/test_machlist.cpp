// The machine list: what a list file may say, which addresses and serial
// numbers it chooses, the expected machines in the order named, and bad
// lines named by file and line number.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "machlist.h"
#include "text.h"

namespace {

// What one argument names: --machine, --serial, --machines with a file of
// this content, or --machines - with this on standard input.
enum Kind { MACHINE, SERIAL, FILE_OF, STDIN_OF };

struct Arg {
    Kind kind;
    std::string text;
};

// A scratch folder for list files, removed at the end.
class Files {
public:
    Files() {
        char tmpl[] = "/tmp/machlist-XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    ~Files() {
        for (const std::string& p : paths_) unlink(p.c_str());
        rmdir(dir_.c_str());
    }
    std::string Write(const std::string& content) {
        std::string path = dir_ + "/list" + std::to_string(paths_.size()) + ".txt";
        FILE* f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr) << path;
        if (f == nullptr) return path;
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        paths_.push_back(path);
        return path;
    }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    std::vector<std::string> paths_;
};

// The paths must outlive the list, which keeps them until it is loaded.
MachineListLoad_Result Named(const std::vector<Arg>& args, Files& files, std::vector<std::string>& paths,
                           std::string* why) {
    MachineListClear();
    char text[256] = "";
    paths.reserve(args.size());
    std::string standard_input;
    for (const Arg& a : args) {
        switch (a.kind) {
        case MACHINE:
            EXPECT_TRUE(MachineListAddAddress(a.text.c_str(), text, sizeof text)) << text;
            break;
        case SERIAL:
            EXPECT_TRUE(MachineListAddSerial(a.text.c_str(), text, sizeof text)) << text;
            break;
        case FILE_OF:
            paths.push_back(files.Write(a.text));
            MachineListAddFile(paths.back().c_str());
            break;
        case STDIN_OF:
            standard_input = files.Write(a.text);
            MachineListAddFile("-");
            break;
        }
    }
    const int saved = dup(0);
    if (!standard_input.empty()) {
        const int fd = open(standard_input.c_str(), O_RDONLY);
        dup2(fd, 0);
        close(fd);
        clearerr(stdin);
    }
    const MachineListLoad_Result r = MachineListLoad(text, sizeof text);
    dup2(saved, 0);
    close(saved);
    clearerr(stdin);
    *why = text;
    return r;
}

uint32_t Addr(const std::string& text) {
    uint32_t a = 0;
    EXPECT_TRUE(ParseDottedQuad(text.c_str(), &a)) << text;
    return a;
}

bool IsSerial(const std::string& item, uint32_t* serial) {
    if (item.rfind("serial ", 0) != 0) return false;
    *serial = static_cast<uint32_t>(std::stoul(item.substr(7)));
    return true;
}

std::string Describe(const ExpectedMachine& m) {
    char text[16];
    return m.is_serial ? "serial " + std::to_string(m.value) : DottedQuad(m.value, text);
}

TEST(MachineList, ChoosesWhatItNamesAndExpectsTheSinglesInOrder) {
    struct Case {
        const char* what;
        std::vector<Arg> args;
        std::vector<std::string> expected;  // "a.b.c.d" or "serial N", in this order
        std::vector<std::string> in, out;   // chosen and not
    };
    const std::string long_comment = "# " + std::string(200000, 'c') + "\n";
    const Case cases[] = {
        {"every form of line",
         {{FILE_OF,
           "# the lab\n"
           "10.0.0.1\n"
           "  10.0.0.2\t# after an entry\n"
           "\t serial 42 \r\n"
           "serial\t 7\n"
           "\n" +
               long_comment +
               "10.20.0.5/24\r\n"
               "192.168.1.1/32   \n"
               "   \t\n"
               "10.0.0.3\r\n"
               "10.0.0.4"}},
         {"10.0.0.1", "10.0.0.2", "serial 42", "serial 7", "10.0.0.3", "10.0.0.4"},
         {"10.20.0.0", "10.20.0.5", "10.20.0.255", "192.168.1.1", "10.0.0.3"},
         {"10.19.255.255", "10.20.1.0", "192.168.1.0", "192.168.1.2", "10.0.0.5", "serial 43", "serial 0"}},
        {"/0 names every address and expects none",
         {{MACHINE, "10.1.2.3/0"}, {MACHINE, "10.0.0.0/8"}},
         {},
         {"0.0.0.0", "10.1.2.3", "11.0.0.0", "255.255.255.255"},
         {"serial 1"}},
        {"blocks that overlap, touch and end at the top",
         {{MACHINE, "128.0.0.0/1"},
          {MACHINE, "255.255.255.255/32"},
          {MACHINE, "10.0.0.0/8"},
          {MACHINE, "10.1.0.0/16"},
          {MACHINE, "11.0.0.0/8"},
          {MACHINE, "192.0.0.0/2"}},
         {},
         {"128.0.0.0", "200.1.2.3", "255.255.255.255", "10.0.0.0", "10.1.2.3", "11.255.255.255"},
         {"127.255.255.255", "12.0.0.0", "9.255.255.255", "0.0.0.0"}},
        {"the order across arguments and files",
         {{MACHINE, "10.0.0.1"}, {FILE_OF, "10.0.0.2\nserial 9\n"}, {SERIAL, "7"}},
         {"10.0.0.1", "10.0.0.2", "serial 9", "serial 7"},
         {},
         {}},
        {"a duplicate keeps its first place; a /32 expects no machine",
         {{MACHINE, "10.0.0.9/32"},
          {SERIAL, "5"},
          {FILE_OF, "10.0.0.1\nserial 5\n10.0.0.2\n10.0.0.9\n10.0.0.1\n"},
          {MACHINE, "10.0.0.2"},
          {STDIN_OF, "serial 6\n10.0.0.1\nserial 5\n10.0.0.3\n"},
          {SERIAL, "6"}},
         {"serial 5", "10.0.0.1", "10.0.0.2", "10.0.0.9", "serial 6", "10.0.0.3"},
         {"10.0.0.9"},
         {"10.0.0.4", "serial 7"}},
        {"a file without entries chooses none", {{FILE_OF, "# nobody yet\n\n"}}, {}, {}, {"10.0.0.1", "serial 1"}},
    };
    Files files;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> paths;
        std::string why;
        ASSERT_EQ(Named(c.args, files, paths, &why), ML_LOADED) << why;
        EXPECT_TRUE(MachineListGiven());
        std::vector<std::string> expected;
        for (int i = 0; i < MachineListExpectedCount(); ++i) expected.push_back(Describe(MachineListExpected(i)));
        EXPECT_EQ(expected, c.expected);
        for (size_t i = 0; i < c.expected.size(); ++i) {
            uint32_t serial = 0;
            const bool is_serial = IsSerial(c.expected[i], &serial);
            EXPECT_TRUE(is_serial ? MachineListHasSerial(serial) : MachineListHasAddress(Addr(c.expected[i])));
            EXPECT_EQ(is_serial ? MachineListExpectedIndexOfSerial(serial)
                                : MachineListExpectedIndexOfAddress(Addr(c.expected[i])),
                      static_cast<int>(i))
                << c.expected[i];
        }
        for (const std::string& a : c.in) EXPECT_TRUE(MachineListHasAddress(Addr(a))) << a;
        for (const std::string& item : c.out) {
            uint32_t serial = 0;
            if (IsSerial(item, &serial)) {
                EXPECT_FALSE(MachineListHasSerial(serial)) << item;
                EXPECT_EQ(MachineListExpectedIndexOfSerial(serial), -1) << item;
            } else {
                EXPECT_FALSE(MachineListHasAddress(Addr(item))) << item;
                EXPECT_EQ(MachineListExpectedIndexOfAddress(Addr(item)), -1) << item;
            }
        }
    }
    MachineListClear();
    EXPECT_FALSE(MachineListGiven());
    EXPECT_EQ(MachineListExpectedCount(), 0);
}

TEST(MachineList, BadEntriesAreRefusedWithWhereTheyStand) {
    struct Case {
        std::vector<Arg> args;  // the last is the bad one
        MachineListLoad_Result result;
        const char* says;  // after the file's name, or the whole message
    };
    const std::string long_line = "10.0.0.1" + std::string(70, ' ') + "5\n";
    const std::string endless_line = std::string(1 << 20, '1') + "\n";
    const Case cases[] = {
        {{{FILE_OF, "# c\n10.0.0.1\r\n\n10.0.0.300 # no\n10.0.0.2\n"}},
         ML_BAD_LINE,
         ":4: '10.0.0.300' is not an address, a CIDR block or 'serial NUMBER'"},
        {{{FILE_OF, "10.0.0.0/33\n"}}, ML_BAD_LINE, ":1: '10.0.0.0/33' is not"},
        {{{FILE_OF, "10.0.0.0/\n"}}, ML_BAD_LINE, ":1: '10.0.0.0/' is not"},
        {{{FILE_OF, "10.0.0.0/8/8\n"}}, ML_BAD_LINE, ":1: '10.0.0.0/8/8' is not"},
        {{{FILE_OF, "10.0.0.1 10.0.0.2\n"}}, ML_BAD_LINE, ":1: '10.0.0.1 10.0.0.2' is not"},
        {{{FILE_OF, "serial\n"}}, ML_BAD_LINE, ":1: 'serial' is not"},
        {{{FILE_OF, "serial 4294967296\n"}}, ML_BAD_LINE, ":1: 'serial 4294967296' is not"},
        {{{FILE_OF, "serial -1\n"}}, ML_BAD_LINE, ":1: 'serial -1' is not"},
        {{{FILE_OF, "Serial 1\n"}}, ML_BAD_LINE, ":1: 'Serial 1' is not"},
        {{{FILE_OF, "10.0.0.1\r5\n"}}, ML_BAD_LINE, ":1: '10.0.0.1\r5' is not"},
        {{{FILE_OF, std::string("10.0.0.1\0\n", 10)}}, ML_BAD_LINE, ":1: '10.0.0.1?' is not"},
        {{{FILE_OF, "10.0.0.1\n" + long_line}}, ML_BAD_LINE, ":2: '10.0.0.1                ...' is too long for"},
        {{{FILE_OF, endless_line}}, ML_BAD_LINE, ":1: '111111111111111111111111...' is too long for"},
        {{{FILE_OF, "10.0.0.1\n"}, {FILE_OF, "serial 1\nserial x"}}, ML_BAD_LINE, ":2: 'serial x' is not"},
        {{{STDIN_OF, "10.0.0.1\nnope\n"}}, ML_BAD_LINE, "--machines (standard input):2: 'nope' is not"},
    };
    Files files;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        std::vector<std::string> paths;
        std::string why;
        EXPECT_EQ(Named(c.args, files, paths, &why), c.result);
        const std::string where = c.args.back().kind == FILE_OF ? "--machines " + paths.back() : "";
        EXPECT_EQ(why.rfind(where + c.says, 0), 0u) << why;
    }

    // Every bad line is told, the first ten each on a line of its own.
    MachineListClear();
    std::string twelve = "10.0.0.1\n";
    for (int i = 0; i < 12; ++i) twelve += "bad" + std::to_string(i) + "\n";
    const std::string list = files.Write(twelve);
    MachineListAddFile(list.c_str());
    char all[4096];
    EXPECT_EQ(MachineListLoad(all, sizeof all), ML_BAD_LINE);
    const std::string told = all;
    EXPECT_EQ(told.rfind("--machines " + list + ":2: 'bad0' is not", 0), 0u) << told;
    EXPECT_NE(told.find("\nlanflash: --machines " + list + ":11: 'bad9' is not"), std::string::npos) << told;
    EXPECT_EQ(told.find("'bad10'"), std::string::npos) << told;
    EXPECT_NE(told.find("\nlanflash: --machines: 2 more bad lines"), std::string::npos) << told;

    std::vector<std::string> paths;
    std::string why;
    MachineListClear();
    const std::string missing = files.dir() + "/missing.txt";
    MachineListAddFile(missing.c_str());
    char text[256];
    EXPECT_EQ(MachineListLoad(text, sizeof text), ML_UNREADABLE);
    EXPECT_EQ(std::string(text), "--machines " + missing + ": cannot read (No such file or directory)");
    MachineListClear();
    MachineListAddFile(files.dir().c_str());
    EXPECT_EQ(MachineListLoad(text, sizeof text), ML_UNREADABLE);
    EXPECT_EQ(std::string(text), "--machines " + files.dir() + ": cannot read (Is a directory)");

    const char* bad_machines[] = {"10.0.0.0/33", "10.0.0.0/", "10.0.0.0/2a", "10.0.0.0/-1", "/8", " 10.0.0.1"};
    for (const char* m : bad_machines) {
        EXPECT_FALSE(MachineListAddAddress(m, text, sizeof text)) << m;
        EXPECT_EQ(std::string(text), std::string("--machine: '") + m +
                                         "' is not a dotted IPv4 address or CIDR block (like 192.168.1.40 or 10.20.0.0/24)");
    }
    EXPECT_FALSE(MachineListAddSerial("1 ", text, sizeof text));
    EXPECT_STREQ(text, "--serial: '1 ' is not a decimal serial number (0 to 4294967295)");
    MachineListClear();
}

// 100 000 blocks of one address each, in no order and not touching, and a
// few machines named alone among them.
TEST(MachineList, AHundredThousandLinesLoadAndLookUp) {
    constexpr uint32_t kBlocks = 100000;
    constexpr uint32_t kBase = 10u << 24;
    auto block_address = [](uint32_t i) { return kBase + 3 * i; };  // host byte order
    auto quad = [](uint32_t host) {
        return std::to_string(host >> 24) + "." + std::to_string(host >> 16 & 255) + "." +
               std::to_string(host >> 8 & 255) + "." + std::to_string(host & 255);
    };
    std::string content = "172.16.0.1\n";
    for (uint32_t k = 0; k < kBlocks; ++k) {
        content += quad(block_address(k * 7919 % kBlocks)) + "/32\n";  // 7919 is prime: each once
        if (k == kBlocks / 2) content += "serial 1\n";
    }
    content += "172.16.0.2\n";
    Files files;
    std::vector<std::string> paths;
    std::string why;
    ASSERT_EQ(Named({{FILE_OF, content}}, files, paths, &why), ML_LOADED) << why;
    int misses = 0;
    for (uint32_t i = 0; i < kBlocks; ++i) {
        const uint32_t host = block_address(i);
        misses += !MachineListHasAddress(Addr(quad(host)));
        misses += MachineListHasAddress(Addr(quad(host + 1))) + MachineListHasAddress(Addr(quad(host + 2)));
    }
    EXPECT_EQ(misses, 0);
    EXPECT_FALSE(MachineListHasAddress(Addr(quad(kBase - 1))));
    ASSERT_EQ(MachineListExpectedCount(), 3);
    EXPECT_EQ(Describe(MachineListExpected(0)), "172.16.0.1");
    EXPECT_EQ(Describe(MachineListExpected(1)), "serial 1");
    EXPECT_EQ(Describe(MachineListExpected(2)), "172.16.0.2");
    MachineListClear();
}

}  // namespace

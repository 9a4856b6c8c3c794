// The command line, read without running anything: each usage error with
// its message, and what a few good lines set.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "machlist.h"
#include "model.h"
#include "options.h"

namespace {

struct Parsed {
    CommandLine result;
    LanflashOptions opts;
    int image;
    std::string why;
};

Parsed Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "lanflash");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    Parsed p{};
    char why[256] = "";
    p.result = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &p.opts, &p.image, why, sizeof why);
    p.why = why;
    MachineListClear();
    return p;
}

TEST(Options, EachUsageErrorSaysWhatIsWrong) {
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    const Case cases[] = {
        {{"--all", "--frobnicate", "fw.bin"}, "unknown option '--frobnicate'"},
        {{"--tiemout", "60", "--all", "fw.bin"}, "unknown option '--tiemout' (did you mean --timeout?)"},
        {{"--exit", "fw.bin", "--machnie=10.0.0.7"}, "unknown option '--machnie=10.0.0.7' (did you mean --machine?)"},
        {{"-v"}, "unknown option '-v'"},
        {{"--Version"}, "unknown option '--Version' (did you mean --version?)"},
        {{"--help=1"}, "option '--help' takes no value"},
        {{"--jobs", "4", "fw.bin"}, "--jobs: only with --all"},
        {{"--all", "--jobs", "0", "fw.bin"}, "--jobs: '0' is not a whole number from 1 to 4096"},
        {{"--all", "--jobs", "4097", "fw.bin"}, "--jobs: '4097' is not a whole number from 1 to 4096"},
        {{"--log-dir", "logs", "fw.bin"}, "--log-dir: only with --all"},
        {{"--all", "--jobs=1", "--log-dir", "logs", "fw.bin"}, "--log-dir: only with --jobs greater than 1"},
        {{"--exit", "-x", "fw.bin"}, "unknown option '-x'"},
        {{"--all", "--exit=yes", "fw.bin"}, "option '--exit' takes no value"},
        {{"--machine"}, "option '--machine' needs a value"},
        {{"--machine", "10.0.0", "fw.bin"}, "--machine: '10.0.0' is not a dotted IPv4 address"},
        {{"--machine=10.0.0.256", "fw.bin"}, "--machine: '10.0.0.256' is not a dotted IPv4 address"},
        {{"--machine", "10.0.0.1x", "fw.bin"}, "--machine: '10.0.0.1x' is not a dotted IPv4 address"},
        {{"--machine", "10.0.0.0/33", "fw.bin"}, "--machine: '10.0.0.0/33' is not a dotted IPv4 address or CIDR block"},
        {{"--machine", "10.0.0.0/", "fw.bin"}, "--machine: '10.0.0.0/' is not a dotted IPv4 address or CIDR block"},
        {{"--machine=10.0.0.0/2a", "fw.bin"}, "--machine: '10.0.0.0/2a' is not a dotted IPv4 address or CIDR block"},
        {{"--machines=", "fw.bin"}, "--machines: the name is empty"},
        {{"--serial", "12a", "fw.bin"}, "--serial: '12a' is not a decimal serial number"},
        {{"--serial", "-1", "fw.bin"}, "--serial: '-1' is not a decimal serial number"},
        {{"--serial", "4294967296", "fw.bin"}, "--serial: '4294967296' is not a decimal serial number"},
        {{"--timeout", "0", "fw.bin"}, "--timeout: '0' is not a positive whole number of seconds"},
        {{"--timeout", "1.5", "fw.bin"}, "--timeout: '1.5' is not a positive whole number of seconds"},
        {{"--retries", "11", "fw.bin"}, "--retries: '11' is not a whole number from 0 to 10"},
        {{"--retries=-1", "fw.bin"}, "--retries: '-1' is not a whole number from 0 to 10"},
        {{"--all", "fw.bin"}, "an image is for one model: with --all and IMAGE, name it with --model Tavix7 or"},
        {{"--exit", "--", "fw.bin", "10.0.0.7"}, "'10.0.0.7' comes after IMAGE; there is one IMAGE"},
        {{"fw.bin", "--exit", "other.bin"}, "'other.bin' comes after IMAGE; there is one IMAGE"},
        {{"--plan", "--all", "--jobs", "2", "--log-dir", "logs", "--model", "Tavix7", "fw.bin"}, "--log-dir: --plan connects"},
        {{"--model", "Tavix6", "fw.bin"}, "--model: 'Tavix6' is not Tavix7 or Tavix5S"},
        {{"--canary", "2", "fw.bin"}, "--canary: only with --all"},
        {{"--all", "--model", "Tavix7", "--canary", "0", "fw.bin"}, "--canary: '0' is not a whole number from 1 to 1000"},
        {{"--all", "--model", "Tavix7", "--canary", "1001", "fw.bin"}, "--canary: '1001' is not a whole number from 1"},
        {{"--max-failed", "1", "fw.bin"}, "--max-failed: only with --all"},
        {{"--all", "--model", "Tavix7", "--max-failed=1000001", "fw.bin"}, "--max-failed: '1000001' is not a whole"},
        {{"--station=", "fw.bin"}, "--station: the name is empty"},
        {{"--station", "line.db"}, "--station: nothing to record without IMAGE"},
        {{"--again", "fw.bin"}, "--again: only with --station"},
        {{"--serve", "80a", "fw.bin"}, "--serve: '80a' is not PORT or ADDRESS:PORT"},
        {{"--serve", "0", "fw.bin"}, "--serve: '0' is not PORT or ADDRESS:PORT"},
        {{"--serve=65536", "fw.bin"}, "--serve: '65536' is not PORT or ADDRESS:PORT"},
        {{"--serve", ":8080", "fw.bin"}, "--serve: ':8080' is not PORT or ADDRESS:PORT"},
        {{"--serve", "10.0.0:8080", "fw.bin"}, "--serve: '10.0.0:8080' is not PORT or ADDRESS:PORT"},
        {{"--serve", "10.0.0.1:", "fw.bin"}, "--serve: '10.0.0.1:' is not PORT or ADDRESS:PORT"},
    };
    for (const Case& c : cases) {
        const Parsed p = Parse(c.args);
        EXPECT_EQ(p.result, CL_USAGE_ERROR) << c.says;
        EXPECT_EQ(p.why.rfind(c.says, 0), 0u) << p.why;
        EXPECT_EQ(p.why.find('\n'), std::string::npos) << p.why;
    }
}

TEST(Options, GoodLinesSetWhatTheySay) {
    Parsed p = Parse({"--all", "--model", "tavix5s", "--timeout=9", "--", "-fw.bin"});
    EXPECT_EQ(p.result, CL_RUN);
    EXPECT_TRUE(p.opts.any && p.opts.all && p.opts.exit);  // --timeout implies --exit
    EXPECT_EQ(p.opts.timeout_s, 9u);
    EXPECT_EQ(p.opts.jobs, kDefaultJobs);
    EXPECT_EQ(p.opts.models, 1u << MODEL_T5S);
    EXPECT_EQ(p.image, 6);  // "--" ends the options
    p = Parse({"--exit", "--", "--odd-name.bin"});  // "--" ends the options
    EXPECT_EQ(p.result, CL_RUN);
    EXPECT_EQ(p.image, 3);
    p = Parse({"fw.bin", "--exit", "--timeout", "5"});
    EXPECT_EQ(p.result, CL_RUN);
    EXPECT_TRUE(p.opts.exit);
    EXPECT_EQ(p.opts.timeout_s, 5u);
    EXPECT_EQ(p.image, 1);
    p = Parse({"fw.bin", "notes.txt", "--frobnicate"});  // no option at all: what follows IMAGE is ignored
    EXPECT_EQ(p.result, CL_RUN);
    EXPECT_FALSE(p.opts.any);
    EXPECT_EQ(p.image, 1);
    EXPECT_EQ(Parse({"--help", "--frobnicate"}).result, CL_HELP);
    EXPECT_EQ(Parse({"fw.bin", "-h"}).result, CL_HELP);
    EXPECT_EQ(Parse({"fw.bin", "--version"}).result, CL_VERSION);
    // The page listens on loopback unless an address is given.
    p = Parse({"--serve", "8080", "--station", "line.db", "--again", "fw.bin"});
    EXPECT_EQ(p.result, CL_RUN);
    EXPECT_TRUE(p.opts.serve && p.opts.again);
    EXPECT_EQ(p.opts.serve_addr, 0x0100007Fu);  // 127.0.0.1, network byte order
    EXPECT_EQ(p.opts.serve_port, 8080);
    EXPECT_NE(p.opts.station, nullptr);  // points into the arguments, gone by now
    p = Parse({"--serve=0.0.0.0:65535", "fw.bin"});
    EXPECT_EQ(p.result, CL_RUN);
    EXPECT_EQ(p.opts.serve_addr, 0u);
    EXPECT_EQ(p.opts.serve_port, 65535);
}

}  // namespace

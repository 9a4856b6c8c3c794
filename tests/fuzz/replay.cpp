// Stands in for libFuzzer's main where it is not linked: runs every file
// named on the command line, or found in a folder named there, through the
// target once. A broken invariant aborts, which fails the test.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// Number of inputs run from `path`, or -1 when it cannot be read.
int Replay(const std::string& path) {
    if (DIR* d = opendir(path.c_str())) {
        int n = 0;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            int got = Replay(path + "/" + e->d_name);
            if (got < 0) {
                closedir(d);
                return -1;
            }
            n += got;
        }
        closedir(d);
        return n;
    }
    std::ifstream f(path, std::ios::binary);
    if (!f) return -1;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int total = 0;
    for (int i = 1; i < argc; ++i) {
        int n = Replay(argv[i]);
        if (n < 0) {
            fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        }
        total += n;
    }
    // An empty corpus would pass without checking anything.
    if (total == 0) {
        fprintf(stderr, "no input found\n");
        return 2;
    }
    fprintf(stderr, "%d inputs replayed\n", total);
    return 0;
}

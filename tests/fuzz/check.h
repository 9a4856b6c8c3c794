// A broken invariant in a fuzz target: say which on stderr and abort, which
// libFuzzer and the corpus replay both take as a finding.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                 \
        }                                                                            \
    } while (0)

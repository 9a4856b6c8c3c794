// --all with --jobs above 1: every chosen machine at once, each in a worker
// process of its own that runs the one-machine path unchanged. This side
// owns the listener, chooses machines, starts at most --jobs workers, hands
// each its machine's datagrams and shows what they report.
#pragma once

#include <cstddef>
#include <cstdint>

#include "options.h"

// Before anything is bound or sent: the log folder exists and takes files,
// and the main loop's slots are this side's. The image is the one every
// worker must send. False with the reason in why.
bool ParallelStart(const LanflashOptions& opts, const uint8_t* image, long image_bytes, const char* image_path,
                   char* why, size_t why_len);
// Before the result lines.
void ParallelEnd(void);

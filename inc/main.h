// Application shell: the loaded image and the stop request, shared with the
// sequencer (image, mode) and the worker threads (stop).
#pragma once

#include <atomic>
#include <cstdint>

#define FW_BUF_SIZE 1048576  // largest image, in bytes

extern uint8_t fw_buf[FW_BUF_SIZE];
extern long fw_size;
extern char* fw_name;  // the path as typed; block 0 carries it
extern char only_explore;
extern std::atomic<int> requestTerminate;  // every loop ends once non-zero

int ConsoleHandler(uint32_t dwType);
void udpThread(void);
void tcpThread(void);

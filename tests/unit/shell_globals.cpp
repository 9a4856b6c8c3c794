// The application shell's globals, which main.cpp defines for the program;
// unit tests link the protocol modules without main().
#include "main.h"

uint8_t fw_buf[FW_BUF_SIZE];
long fw_size = 0;
char* fw_name = nullptr;
char only_explore = 0;
std::atomic<int> requestTerminate{0};

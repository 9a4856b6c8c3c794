// The machines a run names: --machine (an address or a CIDR block),
// --serial and the entries of --machines files. Filled while the command
// line is read, loaded before anything is bound, then only looked up.
// Addresses are in network byte order, as ParseDottedQuad gives them.
#pragma once

#include <cstddef>
#include <cstdint>

// --machine: an address or a CIDR block (host bits set are cleared). False
// with the usage message in why when the text is neither.
bool MachineListAddAddress(const char* text, char* why, size_t why_len);
// --serial: a decimal serial number, 0 to 4294967295.
bool MachineListAddSerial(const char* text, char* why, size_t why_len);
// --machines: only noted here ("-" is standard input); MachineListLoad reads it.
void MachineListAddFile(const char* path);

enum MachineListLoad_Result { ML_LOADED, ML_BAD_LINE /* usage error */, ML_UNREADABLE };
// Reads the noted files in order, then sorts and merges everything for the
// lookups; once per run. why names the file and, for a bad line, its number.
MachineListLoad_Result MachineListLoad(char* why, size_t why_len);

// --machine, --serial or --machines was given: only the machines the list
// names are chosen, so a list file without entries chooses none.
bool MachineListGiven(void);
// Given, and naming nothing (a file of comments only): no machine is chosen.
bool MachineListNamesNone(void);
bool MachineListHasAddress(uint32_t addr);  // named alone or inside a block
bool MachineListHasSerial(uint32_t serial);

// Expected machines: each address named alone (not as a block) and each
// serial number, once, in the order named across all the arguments.
struct ExpectedMachine {
    bool is_serial;
    uint32_t value;  // the address (network byte order) or the serial number
};
int MachineListExpectedCount(void);
ExpectedMachine MachineListExpected(int i);
int MachineListExpectedIndexOfAddress(uint32_t addr);  // -1 when not expected
int MachineListExpectedIndexOfSerial(uint32_t serial);  // -1 when not expected

void MachineListClear(void);  // back to empty, files and all

// One machine of a parallel run, in a process of its own: the sequencer
// carries out what the parent's rules decided. The parent hands it the
// image it loaded, then that machine's datagrams, each with what to do
// with it, on standard input; it
// tells the parent what it did on standard error (wire.h), while its trace
// goes to standard output. It decides nothing itself, but for one check:
// it never acts on another address or model than it was started for.
#pragma once

#include <cstdint>

#include "platform.h"
#include "seqexec.h"

// Before any thread starts: its listener reads the parent's records
// instead of the network. `stop` is what a console event would call (the
// parent forwards its own events, and the end of its input counts as one).
// The parent's image goes to image[0..cap), its size to *size before the
// sequencer is handed anything; models: --model's set.
void WorkerStart(plat_console_handler stop, uint8_t* image, long cap, long* size, uint8_t models);
// The worker's driver of the sequencer.
SeqDriver WorkerDriver(void);
// Called on the reading thread once a record came, so that a waiter looks
// at once; set before any thread starts.
extern void (*worker_news)(void);

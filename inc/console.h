// What a run with options shows on the console of its news: in the trace
// (one machine at a time, lines among the sequencer's own, each beginning
// with a newline as the trace's do), or as event lines of a parallel run
// ("ADDRESS: what happened", display.h). And at the end, one result line
// per machine.
#pragma once

#include <cstddef>

// Before any thread starts; events: a parallel run's event lines.
void ConsoleStart(bool events);
// "stopping: 2 transfers under way finish first; Ctrl-C again abandons them"
void ConsoleStoppingText(int transfers, char* out, size_t cap);
// After the run's end: "summary: 15 updated, 1 failed, 4 left alone (model
// Tavix5S); failed: 127.0.0.110 (transfer failed)", into out.
void ConsoleSummary(char* out, size_t cap);
// After the run's end (outcome.h): the result lines. line_open: the
// output's last line has no newline yet (the trace's style).
void ConsoleResults(bool line_open);

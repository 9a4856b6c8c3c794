// The end of a run with options: one result line per machine handled, the
// report's missing records and summary, and the exit status.
#pragma once

// After the main loop. line_open: the output's last line has no newline
// yet (the trace's style).
void FleetReport(const char* version, bool line_open);
int FleetExitStatus(void);

// The debug log's start, made by the code that loads the add-in.
#pragma once

// Opens the debug log in the data directory (finding that first) and writes there what finding
// it reported: the fall-back to the working directory, or each left-over temporary file removed.
// Only the first call of a process that gets that far does anything; never throws.
void open_addin_log();

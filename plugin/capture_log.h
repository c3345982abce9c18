#pragma once
// Progress line of the capture decoders: where in a payload a decoder stands.

#include <string>

// Writes "Veltra_Quelm_K418T_419::" text " data_len=" length " used=" used
// " channel_count=" count " channel_index=" index; count and index as their low 8 bits.
void log_progress(const std::string& text, int length, int used, unsigned count, unsigned index);

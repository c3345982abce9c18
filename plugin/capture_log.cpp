#include "plugin/capture_log.h"

#include "datadevice/driver_log.h"

void log_progress(const std::string& text, int length, int used, unsigned count, unsigned index) {
    veltra::LogLine() << "Veltra_Quelm_K418T_419::" << text << " data_len=" << length
                      << " used=" << used << " channel_count=" << static_cast<unsigned char>(count)
                      << " channel_index=" << static_cast<unsigned char>(index);
}

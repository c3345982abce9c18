// InitSetting with an arbitrary JSON device entry, or with arbitrary contents
// of the INI threshold file it finds, followed by one round on the settings
// it loaded. Errors of the JSON library and the INI reader reach the host as
// exceptions; anything else (a crash, a bad read) is a finding.
//
// Input: byte 0 bit 0 clear: the rest is the JSON entry text; set: the rest
// is the INI file, loaded in threshold mode 1 (bit 1 clear) or 3 (bit 1 set).

#include <json/reader.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz/fuzz_support.h"
#include "plugin/veltra_quelm_k418t_419.h"

namespace {

// The threshold file the driver of data ID 418 looks for first.
constexpr const char* kIniFile = "ini/418.ini";

void one_round(Veltra_Quelm_K418T_419& drv) {
    std::vector<uint8_t> record(sizeof drv.cData, 0);
    drv.LoadFromCache(record.data(), static_cast<int>(record.size()));
}

// A scratch working directory, removed when the fuzzer exits.
char g_scratch[] = "/tmp/smd-fuzz-init-XXXXXX";

void remove_scratch() {
    ::unlink((std::string(g_scratch) + "/" + kIniFile).c_str());
    ::rmdir((std::string(g_scratch) + "/ini").c_str());
    ::rmdir(g_scratch);
}

}  // namespace

void fuzzsupport::prepare_target() {
    // The threshold files are looked up relative to the working directory.
    if (!::mkdtemp(g_scratch) || ::chdir(g_scratch) != 0 || ::mkdir("ini", 0700) != 0) std::abort();
    std::atexit(remove_scratch);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Input in(data, size);
    const uint8_t form = in.byte();
    const std::vector<uint8_t> rest = in.rest();
    const std::string text(rest.begin(), rest.end());
    Veltra_Quelm_K418T_419 drv;
    try {
        if (form & 1) {
            {
                std::ofstream out(kIniFile, std::ios::binary | std::ios::trunc);
                out << text;
            }
            const Json::Value entry = fuzzsupport::device_entry((form & 2) ? 3 : 1);
            drv.Init(std::weak_ptr<SMDController>(), 0, entry);
            drv.InitSetting(entry);
            ::unlink(kIniFile);
        } else {
            Json::Value entry;
            Json::CharReaderBuilder builder;
            std::string errors;
            std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
            if (!reader->parse(text.data(), text.data() + text.size(), &entry, &errors)) return 0;
            drv.Init(std::weak_ptr<SMDController>(), 0, entry);
            drv.InitSetting(entry);
        }
    } catch (const std::exception&) {
        ::unlink(kIniFile);
        return 0;
    }
    one_round(drv);
    return 0;
}

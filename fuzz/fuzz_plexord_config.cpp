// Loads the input as the core's configuration file, with the real plug-ins
// and data folder of the build tree, and saves it again.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <dlfcn.h>

#include "plexord.h"

namespace fs = std::filesystem;

namespace {

struct Folders {
    std::string config, data, plugins;
    Folders()
    {
        // build/fuzz/fuzz_plexord_config -> build/bin/plugins, build/data
        fs::path root = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
        data = (root / "data").string();
        plugins = (root / "bin" / "plugins").string();
        // tmpfs when there is one: every save syncs the file.
        std::error_code ec;
        fs::path tmp = fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string tmpl = (tmp / "fuzz-plexord-config-XXXXXX").string();
        if (!mkdtemp(tmpl.data()))
            abort();
        config = tmpl;
        // libFuzzer keeps the plug-in's coverage counters: the plug-in must
        // stay mapped when the core unloads it at each finalize.
        for (const auto &e : fs::directory_iterator(plugins))
            if (e.path().extension() == ".so")
                dlopen(e.path().c_str(), RTLD_NOW | RTLD_NODELETE);
    }
    ~Folders()
    {
        std::error_code ec;
        fs::remove_all(config, ec);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Folders f;
    {
        std::ofstream out(f.config + "/plexord.ini", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    plexord_init(f.config.c_str(), f.data.c_str(), f.plugins.c_str(), nullptr,
                 PLEXORD_INIT_NO_DEMO | PLEXORD_INIT_FAST_HASH, nullptr);
    plexord_load_plugins();
    plexord_load_config();
    plexord_save_config();
    plexord_finalize();
    return 0;
}

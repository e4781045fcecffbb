// The backup file loader, and a save of what it loaded that must read back
// the same.
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "backup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    BackupData loaded;
    if (loaded.LoadMemory(reinterpret_cast<const char *>(data), size) != BACKUP_OK)
        return 0;
    static const std::string path = "/tmp/fuzz-backup-" + std::to_string(getpid()) + ".xml";
    if (loaded.Save(path) != BACKUP_OK)
        __builtin_trap();
    BackupData again;
    if (again.Load(path) != BACKUP_OK)
        __builtin_trap(); // whatever loads must save into a readable file
    std::remove(path.c_str());
    if (again.device != loaded.device || again.hardware != loaded.hardware ||
        again.defaultFlag != loaded.defaultFlag || again.groups.size() != loaded.groups.size())
        __builtin_trap();
    for (size_t g = 0; g < loaded.groups.size(); ++g) {
        const BackupGroup &a = loaded.groups[g];
        const BackupGroup &b = again.groups[g];
        if (a.name != b.name || a.values.size() != b.values.size())
            __builtin_trap();
        for (size_t i = 0; i < a.values.size(); ++i)
            if (a.values[i].hasValue != b.values[i].hasValue)
                __builtin_trap();
    }
    return 0;
}

// Backup files of a device's setpoints: the data the backup windows work on,
// its load and save, and the rule that tells a changed setpoint. Plain C++
// over libxml2 and the core's result pairs, without a window, so that it can
// be tested and fuzzed on its own. Texts are UTF-8.
#ifndef OPSDESK_BACKUP_H
#define OPSDESK_BACKUP_H

#include <plexord.h>

#include <cstddef>
#include <string>
#include <vector>

// One setpoint of a backup.
struct BackupValue
{
    std::string address;
    std::string flag;      // may be empty: the data's default flag applies
    bool hasValue = false; // value is meaningful only when set
    double value = 0;
    ncerr_t status{NCERR_OK, 0};
};

struct BackupGroup
{
    std::string name;
    std::vector<BackupValue> values;
    bool include = true;
};

// Result codes of BackupData::Load and BackupData::Save.
enum BackupResult
{
    BACKUP_OK = 0,
    BACKUP_UNEXPECTED_EOF = 1,
    BACKUP_PARSER_ERROR = 2,
    BACKUP_UNEXPECTED_ELEMENT = 3,
    BACKUP_UNEXPECTED_CLOSING = 4,
    BACKUP_UNEXPECTED_NODE = 5,
    BACKUP_CANNOT_OPEN = 6,
    BACKUP_MISSING_ADDRESS = 7,
    // The file was opened but could not be written completely; an earlier
    // file of that name is kept.
    BACKUP_WRITE_FAILED = 8
};

// Translates the texts the data stores (errors); identity until set. The
// console installs the toolkit's catalogue lookup.
using BackupTranslator = std::string (*)(const char* text);
void SetBackupTranslator(BackupTranslator translator);

class BackupData
{
public:
    // Replaces hardware, device, default flag and groups with the file's.
    // The error text changes only on failure; when the file cannot be
    // opened it stays too, and openFailure (if given) gets the reason.
    int Load(const std::string& path, std::string* openFailure = nullptr);
    // The same from text in memory.
    int LoadMemory(const char* data, size_t size);
    // Writes the included groups. The file is first written beside the target
    // and then renamed over it, so that the target is always the old or the
    // new file, complete, whenever the process stops.
    int Save(const std::string& path);

    // The entry's own flag, or the default flag when it has none.
    const std::string& EffectiveFlag(const BackupValue& value) const;
    // "address" or "address:flag" with the effective flag.
    std::string DisplayName(const BackupValue& value) const;
    // Number of entries in the included groups.
    size_t CountIncluded() const;

    std::string hardware;
    std::string device;
    std::string error;
    std::string defaultFlag;
    std::vector<BackupGroup> groups;

private:
    int Read(void* reader);
    int ReadGroup(void* reader, BackupGroup& group);
    // Moves to the next node; BACKUP_OK, or the failure of a file that
    // breaks off.
    int Next(void* reader);
    // The same past comments and white space, giving the node's type.
    int NextSignificant(void* reader, int* type);
    int Fail(int code, const std::string& text);
};

// The text written for a value: "%g" in the C locale, whatever the
// process's locale, so that files read back the same everywhere.
std::string FormatBackupValue(double value);
// atof in the C locale.
double ParseBackupValue(const char* text);
// Escapes a text for an attribute value in double quotes.
std::string EscapeBackupAttribute(const std::string& text);

// True when a value read from the device counts as the backup's: both as
// single-precision floats at most 160 units in the last place apart.
bool BackupValuesEqual(double backup, double current);

#endif

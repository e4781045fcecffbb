// The activity log without a window: the filter that picks the read and
// write results worth a row, a compact store of the rows, and the texts of
// the list's cells and of the saved file's lines.
#ifndef OPSDESK_SPYLOG_H
#define OPSDESK_SPYLOG_H

#include <plexord.h>

#include <wx/string.h>

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class wxRegEx;

// What the filter looks at in one I/O event.
struct SpyEvent
{
    int type = 0; // core event type, 7 to 10
    bool succeeded = true;
    uint16_t deviceId = 0;
    const char* item = ""; // UTF-8
};

// Only read and write results make rows.
bool IsSpyLogged(int type);

class SpyFilter
{
public:
    SpyFilter();
    ~SpyFilter();
    SpyFilter(const SpyFilter&) = delete;
    SpyFilter& operator=(const SpyFilter&) = delete;

    bool enabled = false;
    bool showSucceeded = true;
    bool showFailed = true;
    bool reads = true;
    bool writes = true;
    // No value: any device.
    std::optional<uint16_t> device;

    // An extended regular expression looked for anywhere in the item name;
    // empty lets every item through, one that does not compile none.
    void SetText(const wxString& text);
    const wxString& GetText() const { return m_text; }
    bool IsTextValid() const { return m_text.empty() || m_regex != nullptr; }

    bool Accepts(const SpyEvent& event) const;

private:
    wxString m_text;
    std::unique_ptr<wxRegEx> m_regex;
};

// One row as it arrives; the texts need only live during Append.
struct SpyRowData
{
    uint32_t timeOfDay = 0; // local seconds since midnight
    bool write = false;
    uint32_t client = 0;
    uint16_t deviceId = 0;
    std::string_view device; // name, UTF-8
    std::string_view item;
    std::string_view flag;
    double value = 0;
    ncerr_t result{1, 0};
};

// Local seconds since midnight, asking the C library once per second only.
class SpyClock
{
public:
    uint32_t Now();
    static uint32_t TimeOfDay(std::time_t t);

private:
    std::time_t m_last = -1;
    uint32_t m_seconds = 0;
};

// Each distinct text kept once; rows hold its index.
class SpyStringPool
{
public:
    uint32_t Intern(std::string_view text);
    const std::string& Get(uint32_t index) const { return m_strings[index]; }
    size_t GetCount() const { return m_strings.size(); }
    void Clear();

private:
    // A deque keeps the texts where they are, so the index may point into them.
    std::deque<std::string> m_strings;
    std::unordered_map<std::string_view, uint32_t> m_index;
};

// The rows of one activity log, appended at the end. A row takes 32 bytes;
// names, setpoints and status texts are shared between rows.
class SpyLog
{
public:
    enum Column
    {
        COL_TIME,
        COL_OP,
        COL_CLIENT,
        COL_DEVICE,
        COL_SETP,
        COL_VALUE,
        COL_STATUS,
        COL_COUNT
    };

    enum class SaveResult
    {
        Saved,
        OpenFailed,
        WriteFailed
    };

    SpyLog();

    void Append(const SpyRowData& row);
    size_t GetCount() const { return m_count; }
    void Clear();

    wxString GetCellText(size_t row, int column) const;
    // The saved file's line of a row, with its CR LF, added to out.
    void AppendLine(size_t row, std::string& out) const;
    // Every row in order, in pieces; false when a write fails.
    bool Write(std::FILE* file) const;
    // Creates or truncates the file and writes every row; error gets the
    // system's error number of a failure.
    SaveResult Save(const wxString& path, int* error = nullptr) const;

private:
    struct Row
    {
        double value;
        uint32_t client;
        uint32_t device;   // index into m_texts
        uint32_t setpoint; // index into m_texts
        uint32_t status;   // index into m_statuses
        uint32_t time;
        uint16_t deviceId;
        uint8_t write;
        uint8_t hasValue;
    };
    static_assert(sizeof(Row) == 32);
    // Fixed blocks: growing never moves the rows already there.
    static constexpr size_t kChunkRows = 8192;

    const Row& At(size_t row) const { return m_chunks[row / kChunkRows][row % kChunkRows]; }
    uint32_t DeviceIndex(uint16_t id, std::string_view name);
    uint32_t StatusIndex(ncerr_t result);

    std::vector<std::unique_ptr<Row[]>> m_chunks;
    size_t m_count = 0;
    SpyStringPool m_texts;
    // The last name seen per device id: the usual row needs no hashing.
    std::unordered_map<uint16_t, uint32_t> m_deviceNames;
    // Index 0 is success.
    std::vector<std::string> m_statuses;
    std::unordered_map<uint64_t, uint32_t> m_statusIndex;
    std::string m_scratch;
};

// The texts of the cells and lines.
wxString FormatSpyTime(uint32_t timeOfDay);
// "%g", whatever the C library's locale.
std::string FormatSpyValue(double value);

#endif

#include "spylog.h"

#include "coretext.h"

#include <wx/log.h>
#include <wx/regex.h>

#include <cerrno>
#include <charconv>
#include <cstring>

bool IsSpyLogged(int type)
{
    return type == NCEVENT_READ_RESULT || type == NCEVENT_WRITE_RESULT;
}

SpyFilter::SpyFilter() = default;
SpyFilter::~SpyFilter() = default;

void SpyFilter::SetText(const wxString& text)
{
    if (text == m_text)
        return;
    m_text = text;
    m_regex.reset();
    if (text.empty())
        return;
    // A pattern being typed is often incomplete: no error box for it.
    wxLogNull quiet;
    auto regex = std::make_unique<wxRegEx>();
    if (regex->Compile(text, wxRE_EXTENDED))
        m_regex = std::move(regex);
}

bool SpyFilter::Accepts(const SpyEvent& event) const
{
    if (!enabled)
        return false;
    if (!(event.succeeded ? showSucceeded : showFailed))
        return false;
    const bool read = event.type == NCEVENT_READ_REQUEST || event.type == NCEVENT_READ_RESULT;
    const bool written = event.type == NCEVENT_WRITE_REQUEST || event.type == NCEVENT_WRITE_RESULT;
    if ((read && !reads) || (written && !writes))
        return false;
    if (device && *device != event.deviceId)
        return false;
    if (m_text.empty())
        return true;
    return m_regex && m_regex->Matches(wxString::FromUTF8(event.item ? event.item : ""));
}

uint32_t SpyClock::TimeOfDay(std::time_t t)
{
    std::tm local{};
    if (!localtime_r(&t, &local))
        return 0;
    return static_cast<uint32_t>(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
}

uint32_t SpyClock::Now()
{
    const std::time_t now = std::time(nullptr);
    if (now != m_last) {
        m_last = now;
        m_seconds = TimeOfDay(now);
    }
    return m_seconds;
}

uint32_t SpyStringPool::Intern(std::string_view text)
{
    const auto found = m_index.find(text);
    if (found != m_index.end())
        return found->second;
    const auto index = static_cast<uint32_t>(m_strings.size());
    const std::string& kept = m_strings.emplace_back(text);
    m_index.emplace(std::string_view(kept), index);
    return index;
}

void SpyStringPool::Clear()
{
    m_index.clear();
    m_strings.clear();
}

SpyLog::SpyLog()
{
    Clear();
}

void SpyLog::Clear()
{
    m_chunks.clear();
    m_count = 0;
    m_texts.Clear();
    m_deviceNames.clear();
    m_statusIndex.clear();
    m_statuses.assign(1, "ok");
}

uint32_t SpyLog::DeviceIndex(uint16_t id, std::string_view name)
{
    const auto last = m_deviceNames.find(id);
    if (last != m_deviceNames.end() && m_texts.Get(last->second) == name)
        return last->second;
    const uint32_t index = m_texts.Intern(name);
    m_deviceNames[id] = index;
    return index;
}

uint32_t SpyLog::StatusIndex(ncerr_t result)
{
    const uint64_t key = uint64_t(uint32_t(result.code)) << 32 | uint32_t(result.detail);
    const auto found = m_statusIndex.find(key);
    if (found != m_statusIndex.end())
        return found->second;
    const auto index = static_cast<uint32_t>(m_statuses.size());
    m_statuses.emplace_back(ncerr_get_string(result));
    m_statusIndex.emplace(key, index);
    return index;
}

void SpyLog::Append(const SpyRowData& data)
{
    if (m_count == m_chunks.size() * kChunkRows)
        m_chunks.push_back(std::make_unique_for_overwrite<Row[]>(kChunkRows));
    Row& row = m_chunks[m_count / kChunkRows][m_count % kChunkRows];

    m_scratch.assign(data.item);
    if (!data.flag.empty()) {
        m_scratch += ':';
        m_scratch += data.flag;
    }
    const bool succeeded = data.result.code == NCERR_OK && data.result.detail == 0;
    row.value = data.value;
    row.client = data.client;
    row.device = DeviceIndex(data.deviceId, data.device);
    row.setpoint = m_texts.Intern(m_scratch);
    row.status = succeeded ? 0 : StatusIndex(data.result);
    row.time = data.timeOfDay;
    row.deviceId = data.deviceId;
    row.write = data.write;
    // A failed read has nothing to show; a failed write shows what it tried.
    row.hasValue = succeeded || data.write;
    ++m_count;
}

namespace {

// "HH:MM:SS" and its terminating NUL.
void TimeText(uint32_t timeOfDay, char (&text)[9])
{
    const uint32_t parts[3] = {timeOfDay / 3600 % 100, timeOfDay / 60 % 60, timeOfDay % 60};
    for (int i = 0; i < 3; ++i) {
        text[i * 3] = static_cast<char>('0' + parts[i] / 10);
        text[i * 3 + 1] = static_cast<char>('0' + parts[i] % 10);
        text[i * 3 + 2] = i < 2 ? ':' : '\0';
    }
}

// Returns the end of the text; room for any double.
char* ValueText(double value, char (&text)[32])
{
    return std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6).ptr;
}

} // namespace

wxString FormatSpyTime(uint32_t timeOfDay)
{
    char text[9];
    TimeText(timeOfDay, text);
    return text;
}

std::string FormatSpyValue(double value)
{
    char text[32];
    return std::string(text, ValueText(value, text));
}

wxString SpyLog::GetCellText(size_t index, int column) const
{
    if (index >= m_count)
        return wxString();
    const Row& row = At(index);
    switch (column) {
    case COL_TIME:
        return FormatSpyTime(row.time);
    case COL_OP:
        return row.write ? "W" : "R";
    case COL_CLIENT:
        return wxString::Format("%lu", static_cast<unsigned long>(row.client));
    case COL_DEVICE:
        return wxString::FromUTF8(m_texts.Get(row.device));
    case COL_SETP:
        return wxString::FromUTF8(m_texts.Get(row.setpoint));
    case COL_VALUE:
        return row.hasValue ? wxString(FormatSpyValue(row.value)) : wxString();
    case COL_STATUS:
        // The core's texts in the console's language; a saved log keeps them as the core gave them.
        return TranslateCoreText(wxString::FromUTF8(m_statuses[row.status]));
    default:
        return wxString();
    }
}

void SpyLog::AppendLine(size_t index, std::string& out) const
{
    if (index >= m_count)
        return;
    const Row& row = At(index);
    char time[9];
    TimeText(row.time, time);
    out += time;
    out += row.write ? " W " : " R ";
    out += m_texts.Get(row.device);
    out += ':';
    out += m_texts.Get(row.setpoint);
    out += '=';
    if (row.hasValue) {
        char value[32];
        out.append(value, ValueText(row.value, value));
    }
    out += " (";
    out += m_statuses[row.status];
    out += ")\r\n";
}

bool SpyLog::Write(std::FILE* file) const
{
    // The lines go out in pieces of about this size, never the whole log.
    constexpr size_t kPiece = 64 * 1024;
    std::string piece;
    piece.reserve(kPiece + 1024);
    for (size_t i = 0; i < m_count; ++i) {
        AppendLine(i, piece);
        if (piece.size() >= kPiece) {
            if (std::fwrite(piece.data(), 1, piece.size(), file) != piece.size())
                return false;
            piece.clear();
        }
    }
    return std::fwrite(piece.data(), 1, piece.size(), file) == piece.size();
}

SpyLog::SaveResult SpyLog::Save(const wxString& path, int* error) const
{
    int failure = 0;
    auto failed = [&failure] {
        if (failure == 0)
            failure = errno != 0 ? errno : EIO;
    };
    errno = 0;
    std::FILE* file = std::fopen(path.fn_str(), "wb");
    if (!file) {
        failed();
        if (error)
            *error = failure;
        return SaveResult::OpenFailed;
    }
    if (!Write(file))
        failed();
    if (std::fflush(file) != 0)
        failed();
    if (std::fclose(file) != 0)
        failed();
    if (error)
        *error = failure;
    return failure == 0 ? SaveResult::Saved : SaveResult::WriteFailed;
}

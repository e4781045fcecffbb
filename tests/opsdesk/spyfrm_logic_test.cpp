// The activity log's filter, rows, cell texts and saved lines, without a
// window.
#include "spylog.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>

namespace {

struct FilterCase
{
    const char* what;
    bool enabled, succeededOn, failedOn, readsOn, writesOn;
    std::optional<uint16_t> device;
    const char* text;
    SpyEvent event;
    bool accepted;
};

TEST(SpyFilterTest, RulesInOrder)
{
    constexpr int R = NCEVENT_READ_RESULT, W = NCEVENT_WRITE_RESULT;
    const std::optional<uint16_t> any;
    const FilterCase cases[] = {
        {"not enabled", false, true, true, true, true, any, "", {R, true, 1, "T1"}, false},
        {"enabled, all shown", true, true, true, true, true, any, "", {R, true, 1, "T1"}, true},
        {"failed hidden, success shown", true, true, false, true, true, any, "", {W, true, 1, "PV"}, true},
        {"failed hidden, failure", true, true, false, true, true, any, "", {W, false, 1, "PV"}, false},
        {"successes hidden", true, false, true, true, true, any, "", {R, true, 1, "PV"}, false},
        {"successes hidden, failure", true, false, true, true, true, any, "", {R, false, 1, "PV"}, true},
        {"reads off, read", true, true, true, false, true, any, "", {R, true, 1, "PV"}, false},
        {"reads off, write", true, true, true, false, true, any, "", {W, true, 1, "PV"}, true},
        {"writes off, write", true, true, true, true, false, any, "", {W, true, 1, "PV"}, false},
        {"writes off, read request", true, true, true, true, false, any, "", {NCEVENT_READ_REQUEST, true, 1, "PV"},
         true},
        {"device matches", true, true, true, true, true, uint16_t(7), "", {R, true, 7, "PV"}, true},
        {"other device", true, true, true, true, true, uint16_t(7), "", {R, true, 8, "PV"}, false},
        {"caret T, T1", true, true, true, true, true, any, "^T", {R, true, 1, "T1"}, true},
        {"caret T, PT", true, true, true, true, true, any, "^T", {R, true, 1, "PT"}, false},
        {"somewhere in the name", true, true, true, true, true, any, "V", {R, true, 1, "PV2"}, true},
        {"extended alternation", true, true, true, true, true, any, "^T(1|2)$", {R, true, 1, "T2"}, true},
        {"extended alternation, T3", true, true, true, true, true, any, "^T(1|2)$", {R, true, 1, "T3"}, false},
        {"extended plus", true, true, true, true, true, any, "^A+B$", {R, true, 1, "AAB"}, true},
        {"does not compile", true, true, true, true, true, any, "T(", {R, true, 1, "T("}, false},
        {"matching text, other device", true, true, true, true, true, uint16_t(2), "^T", {R, true, 1, "T1"}, false},
    };
    for (const FilterCase& c : cases) {
        SpyFilter filter;
        filter.enabled = c.enabled;
        filter.showSucceeded = c.succeededOn;
        filter.showFailed = c.failedOn;
        filter.reads = c.readsOn;
        filter.writes = c.writesOn;
        filter.device = c.device;
        filter.SetText(wxString::FromUTF8(c.text));
        EXPECT_EQ(filter.Accepts(c.event), c.accepted) << c.what;
    }

    SpyFilter filter;
    filter.enabled = true;
    filter.SetText("[");
    EXPECT_FALSE(filter.IsTextValid());
    EXPECT_FALSE(filter.Accepts({R, true, 1, "["}));
    // Corrected or cleared, the filter lets rows through again.
    filter.SetText("\\[");
    EXPECT_TRUE(filter.Accepts({R, true, 1, "a[b"}));
    filter.SetText("");
    EXPECT_TRUE(filter.IsTextValid());
    EXPECT_TRUE(filter.Accepts({R, true, 1, "T1"}));

    EXPECT_TRUE(IsSpyLogged(R));
    EXPECT_TRUE(IsSpyLogged(W));
    for (int type : {NCEVENT_LOG, NCEVENT_READ_REQUEST, NCEVENT_WRITE_REQUEST, NCEVENT_DEVICE_CHANGED})
        EXPECT_FALSE(IsSpyLogged(type)) << type;
}

SpyRowData Row(uint32_t time, bool write, const char* device, const char* item, const char* flag, double value,
               ncerr_t result = test::kOk, uint32_t client = 0, uint16_t deviceId = 1)
{
    SpyRowData row;
    row.timeOfDay = time;
    row.write = write;
    row.client = client;
    row.deviceId = deviceId;
    row.device = device;
    row.item = item;
    row.flag = flag;
    row.value = value;
    row.result = result;
    return row;
}

std::vector<wxString> Cells(const SpyLog& log, size_t row)
{
    std::vector<wxString> cells;
    for (int c = 0; c < SpyLog::COL_COUNT; ++c)
        cells.push_back(log.GetCellText(row, c));
    return cells;
}

std::string Line(const SpyLog& log, size_t row)
{
    std::string line;
    log.AppendLine(row, line);
    return line;
}

TEST(SpyLogTest, CellsAndLines)
{
    const ncerr_t timeout{NCERR_TIMEOUT, 0};
    const std::string timeoutText = ncerr_get_string(timeout);
    SpyLog log;
    log.Append(Row(13 * 3600 + 5 * 60 + 9, false, "Boiler", "T1", "db", 21.5));
    log.Append(Row(0, false, "Boiler", "PV", "", 99, timeout, 4294967295u));
    log.Append(Row(86399, true, "Pump", "SP", "", 3, timeout, 12, 2));
    log.Append(Row(60, true, "", "SP", "x:y", 1234567));

    using V = std::vector<wxString>;
    EXPECT_EQ(Cells(log, 0), (V{"13:05:09", "R", "0", "Boiler", "T1:db", "21.5", "ok"}));
    // A failed read has no value; a failed write shows the one it tried.
    EXPECT_EQ(Cells(log, 1), (V{"00:00:00", "R", "4294967295", "Boiler", "PV", "", wxString::FromUTF8(timeoutText)}));
    EXPECT_EQ(Cells(log, 2), (V{"23:59:59", "W", "12", "Pump", "SP", "3", wxString::FromUTF8(timeoutText)}));
    EXPECT_EQ(Cells(log, 3), (V{"00:01:00", "W", "0", "", "SP:x:y", "1.23457e+06", "ok"}));
    EXPECT_EQ(log.GetCellText(4, SpyLog::COL_TIME), "");

    EXPECT_EQ(Line(log, 0), "13:05:09 R Boiler:T1:db=21.5 (ok)\r\n");
    EXPECT_EQ(Line(log, 1), "00:00:00 R Boiler:PV= (" + timeoutText + ")\r\n");
    EXPECT_EQ(Line(log, 2), "23:59:59 W Pump:SP=3 (" + timeoutText + ")\r\n");
    EXPECT_EQ(Line(log, 3), "00:01:00 W :SP:x:y=1.23457e+06 (ok)\r\n");

    // "%g" as the C library writes it in the "C" locale.
    for (double v : {0.0, -0.0, 0.1, 1e-5, 123456.0, 1e6, -2.5e-300, 1.0 / 3, 65535.0, 1e300}) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%g", v);
        EXPECT_EQ(FormatSpyValue(v), expected) << expected;
    }
}

TEST(SpyLogTest, RenamesRowsAcrossBlocksClearAndSave)
{
    SpyLog log;
    // Enough rows for several storage blocks; each row tells its index.
    const size_t rows = 20000;
    for (size_t i = 0; i < rows; ++i) {
        const std::string item = "S" + std::to_string(i % 50);
        log.Append(Row(uint32_t(i % 86400), i % 2 == 1, i < 15000 ? "Boiler" : "Kettle", item.c_str(), "",
                       double(i)));
    }
    ASSERT_EQ(log.GetCount(), rows);
    for (size_t i : {size_t(0), size_t(8191), size_t(8192), size_t(14999), size_t(15000), rows - 1}) {
        EXPECT_EQ(log.GetCellText(i, SpyLog::COL_VALUE), wxString::Format("%zu", i));
        EXPECT_EQ(log.GetCellText(i, SpyLog::COL_SETP), wxString::Format("S%zu", i % 50));
        // The name the device had when the row arrived.
        EXPECT_EQ(log.GetCellText(i, SpyLog::COL_DEVICE), i < 15000 ? "Boiler" : "Kettle") << i;
    }

    test::TempDir dir;
    std::string expected;
    for (size_t i = 0; i < rows; ++i)
        log.AppendLine(i, expected);
    int error = -1;
    EXPECT_EQ(log.Save(wxString::FromUTF8(dir.file("log.txt")), &error), SpyLog::SaveResult::Saved);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(test::ReadFile(dir.file("log.txt")), expected);

    // A shorter log truncates the old file.
    log.Clear();
    EXPECT_EQ(log.GetCount(), 0u);
    log.Append(Row(1, true, "Pump", "X", "", 2));
    EXPECT_EQ(Cells(log, 0), (std::vector<wxString>{"00:00:01", "W", "0", "Pump", "X", "2", "ok"}));
    EXPECT_EQ(log.Save(wxString::FromUTF8(dir.file("log.txt"))), SpyLog::SaveResult::Saved);
    EXPECT_EQ(test::ReadFile(dir.file("log.txt")), "00:00:01 W Pump:X=2 (ok)\r\n");

    EXPECT_EQ(log.Save(dir.wxpath(), &error), SpyLog::SaveResult::OpenFailed);
    EXPECT_EQ(error, EISDIR);
    // A full disk is a failure, not a saved log.
    EXPECT_EQ(log.Save("/dev/full", &error), SpyLog::SaveResult::WriteFailed);
    EXPECT_EQ(error, ENOSPC);
}

} // namespace

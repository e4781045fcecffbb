// The SuperLink exchange: its text rules, and the driver against the
// simulated SuperLink program on a scratch folder.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "sl_sim.h"
#include "slcom.h"

namespace fs = std::filesystem;
namespace sl = buslink::sl;

namespace {

struct Folder {
    Folder()
    {
        std::string tmpl = (fs::temp_directory_path() / "slcom-test-XXXXXX").string();
        path = ::mkdtemp(tmpl.data()) ? tmpl : "";
    }
    ~Folder() { fs::remove_all(path); }
    std::string file(const std::string &name) const { return path + "/" + name; }
    std::string path;
};

void put(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
}

// T:A5 = 21.26 and P:A12 = 7.0 in department A, T:7 = 2.5 without one.
const char *const kTable = R"("departments": {"A": {"T:5": 21.26, "P:12": "7.0"}, "": {"T:7": 2.5, "a:b:3": 4}})";

std::string script(const std::string &misbehave = "")
{
    return std::string("{") + kTable + R"(, "misbehave": [)" + misbehave + "]}";
}

struct SlcomExchange : testing::Test {
    Folder dir;
    slcom_t *s = slcom_new_with_values(dir.path.c_str(), 3);
    ~SlcomExchange() override { slcom_delete(s); }
    std::unique_ptr<sltest::Program> start(const std::string &misbehave = "")
    {
        auto p = std::make_unique<sltest::Program>(dir.path, 3, script(misbehave), dir.path + ".record.json");
        EXPECT_TRUE(p->ready()) << "superlink_program.py did not start";
        return p;
    }
};

} // namespace

TEST(SlcomText, RequestLinesAndTheirChecks)
{
    EXPECT_EQ(sl::request_line("T", 'A', 5, sl::Kind::write, 21.26), "T:A05=21.3\n");
    EXPECT_EQ(sl::request_line("T", 0, 7, sl::Kind::read, 0), "T:07\n");
    EXPECT_EQ(sl::request_line("T", 'B', 123, sl::Kind::write, -0.04), "T:B123=-0.0\n");
    EXPECT_EQ(sl::request_line("T", 0, -5, sl::Kind::write, 1e6), "T:-5=1000000.0\n");
    EXPECT_EQ(sl::request_line("a:b", 0, 0, sl::Kind::read, 0), "a:b:00\n");

    struct {
        const char *name;
        char department;
        int status;
    } cases[] = {
        {"T", 'A', SLCOM_SUCCESS},       {"", 0, SLCOM_SUCCESS},          {"a:b", 'x', SLCOM_SUCCESS},
        {"T\nX:A01=5", 'A', SLCOM_E_BAD_REQUEST}, {"T\r", 0, SLCOM_E_BAD_REQUEST}, {"T=1", 0, SLCOM_E_BAD_REQUEST},
        {"T", '5', SLCOM_E_BAD_REQUEST}, {"T", '-', SLCOM_E_BAD_REQUEST}, {"T", ':', SLCOM_E_BAD_REQUEST},
        {"T", '\n', SLCOM_E_BAD_REQUEST},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sl::check_request(c.name, c.department), c.status) << c.name << " " << int(c.department);
    EXPECT_EQ(sl::check_request(std::string(64, 'n'), 0), SLCOM_SUCCESS);
    EXPECT_EQ(sl::check_request(std::string(65, 'n'), 0), SLCOM_E_BAD_REQUEST);
}

TEST(SlcomText, ResultLines)
{
    const auto lines = sl::parse_results("T:A05=21.3\r\n"
                                         "no colon=5\n"
                                         "T:07\n"        // unknown: no value
                                         "a:b:3= +4 \n"  // the name keeps its colon
                                         "T:-5=1e2\n"    // a negative number, no department
                                         "P:A12=7,0\n"   // decimal comma
                                         "P:A12=nan\n"
                                         "P:A12=5x\n"
                                         "P:A=5\n"       // no number
                                         "P:A99999999999=5\n"
                                         "\n"
                                         "Q:Z1=-2.5");   // last line without end of line
    ASSERT_EQ(lines.size(), 8u);
    struct {
        const char *name;
        char department;
        int number;
        bool has_value, value_ok;
        double value;
    } want[] = {
        {"T", 'A', 5, true, true, 21.3}, {"T", 0, 7, false, false, 0}, {"a:b", 0, 3, true, true, 4},
        {"T", 0, -5, true, true, 100},   {"P", 'A', 12, true, false, 0}, {"P", 'A', 12, true, false, 0},
        {"P", 'A', 12, true, false, 0},  {"Q", 'Z', 1, true, true, -2.5},
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lines[i].name, want[i].name);
        EXPECT_EQ(lines[i].department, want[i].department);
        EXPECT_EQ(lines[i].number, want[i].number);
        EXPECT_EQ(lines[i].has_value, want[i].has_value);
        EXPECT_EQ(lines[i].value_ok, want[i].value_ok);
        if (want[i].value_ok) {
            EXPECT_EQ(lines[i].value, want[i].value);
        }
    }
}

TEST(SlcomText, RoundingAndSettings)
{
    struct {
        double value;
        bool fits;
        int rounded;
    } cases[] = {{2.5, true, 2},    {2.51, true, 3},  {-2.5, true, -2},     {-2.51, true, -3},
                 {0.4, true, 0},    {7, true, 7},     {2147483647.4, true, 2147483647},
                 {2147483647.6, false, 0},            {NAN, false, 0},      {-1e300, false, 0}};
    for (const auto &c : cases) {
        int out = 12345;
        EXPECT_EQ(sl::round_result(c.value, &out), c.fits) << c.value;
        if (c.fits) {
            EXPECT_EQ(out, c.rounded) << c.value;
        }
    }

    slcom_t *s = slcom_new();
    EXPECT_STREQ(slcom_get_compath(s), "");
    EXPECT_EQ(slcom_get_flag(s), 1);
    EXPECT_EQ(slcom_get_timeout(s), 5);
    const char *folders[][2] = {{"C:\\sl", "C:\\sl/"}, {"C:\\sl\\", "C:\\sl\\"}, {"", ""}, {"/srv/sl", "/srv/sl/"},
                                {"/srv/sl/", "/srv/sl/"}};
    for (const auto &f : folders) {
        slcom_set_values(s, f[0], 4);
        EXPECT_STREQ(slcom_get_compath(s), f[1]);
    }
    EXPECT_EQ(slcom_get_flag(s), 4);
    slcom_set_timeout(s, 7);
    EXPECT_EQ(slcom_get_timeout(s), 7);
    slcom_set_timeout(s, -3);
    EXPECT_EQ(slcom_get_timeout(s), 0);
    // Nothing to send, but no folder to send it to either.
    slcom_set_values(s, "", 1);
    EXPECT_EQ(slcom_request(s, "T", 1, 0), 0);
    EXPECT_EQ(slcom_flush(s), SLCOM_E_OPEN);
    EXPECT_EQ(slcom_result(s, "T", 1, 0, nullptr), SLCOM_E_NOT_IN_LIST);
    EXPECT_STREQ(slcom_error_string(8), "Missing result file");
    EXPECT_STREQ(slcom_error_string(10), "Unhandled error");
    EXPECT_STREQ(slcom_error_string(-1), "Unhandled error");
    slcom_delete(s);
}

TEST_F(SlcomExchange, ABatchOfReadsAndWritesAndItsAnswers)
{
    // The answer comes after the driver's first look for it.
    auto program = start(R"({"do": "delay", "nth": 1, "ms": 300})");
    // A stale answer left by an exchange given up must not be taken.
    put(dir.file("lcc3.sl2"), "T:A5=99\n");
    put(dir.file("lccflag3.sl2"), "");

    EXPECT_EQ(slcom_request(s, "T", 5, 'A'), 0);
    EXPECT_EQ(slcom_write(s, "P", 12, 'A', 21.26), 0);
    EXPECT_EQ(slcom_request(s, "T", 7, 0), 0);
    EXPECT_EQ(slcom_request(s, "a:b", 3, 0), 0);
    EXPECT_EQ(slcom_request(s, "X", 9, 'A'), 0);   // unknown to the program
    EXPECT_EQ(slcom_request(s, "T\nP:A12=0", 1, 'A'), SLCOM_E_BAD_REQUEST); // never on the wire
    slcom_set_timeout(s, 5);
    ASSERT_EQ(slcom_flush(s), SLCOM_SUCCESS);
    EXPECT_EQ(program->requests(), "T:A05 | P:A12=21.3 | T:07 | a:b:03 | X:A09\n");

    double v = 0;
    int n = 0;
    EXPECT_EQ(slcom_result(s, "T", 5, 'A', &v), SLCOM_SUCCESS);
    EXPECT_EQ(v, 21.26);
    EXPECT_EQ(slcom_result(s, "P", 12, 'A', &v), SLCOM_SUCCESS);
    EXPECT_EQ(v, 21.3);
    EXPECT_EQ(slcom_result_int(s, "T", 7, 0, &n), SLCOM_SUCCESS);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(slcom_result(s, "a:b", 3, 0, &v), SLCOM_SUCCESS);
    EXPECT_EQ(v, 4);
    EXPECT_EQ(slcom_result(s, "X", 9, 'A', &v), SLCOM_E_NOT_HANDLED);
    EXPECT_EQ(slcom_result(s, "T", 5, 0, &v), SLCOM_E_NOT_IN_LIST);
    EXPECT_EQ(slcom_result(s, "T\nP:A12=0", 1, 'A', &v), SLCOM_E_NOT_IN_LIST);
    // Every exchange file is gone once the answers are in.
    for (const char *f : {"net3.sl2", "netflag3.sl2", "lcc3.sl2", "lccflag3.sl2", "nettmp3.sl2"})
        EXPECT_FALSE(fs::exists(dir.file(f))) << f;

    // 200 requests go out as two files of at most 128.
    slcom_reset(s);
    for (int i = 0; i < 200; ++i)
        slcom_request(s, "T", 7, 0);
    ASSERT_EQ(slcom_flush(s), SLCOM_SUCCESS);
    const std::string files = program->requests();
    const auto second = files.find('\n') + 1;
    const auto third = files.find('\n', second) + 1;
    EXPECT_EQ(std::count(files.begin() + second, files.begin() + third, '|'), 127);
    EXPECT_EQ(std::count(files.begin() + third, files.end(), '|'), 71);
    EXPECT_EQ(slcom_result(s, "T", 7, 0, &v), SLCOM_SUCCESS);
}

TEST_F(SlcomExchange, FailuresTheProgramCanCause)
{
    // Files 1 to 5 misbehave in turn.
    auto program = start(R"({"do": "no_result", "nth": 1},
                            {"do": "no_flag", "nth": 2},
                            {"do": "malformed", "nth": 3, "line": 1, "form": "bad_value", "text": "1,5"},
                            {"do": "malformed", "nth": 4, "line": 1, "form": "wrong_number"},
                            {"do": "delay", "nth": 5, "ms": 2500})");
    struct {
        int timeout, flush, first;
    } cases[] = {
        {1, SLCOM_E_NO_RESULT, SLCOM_E_NOT_IN_LIST},
        {1, SLCOM_E_NO_RESPONSE, SLCOM_E_NOT_IN_LIST},
        {5, SLCOM_SUCCESS, SLCOM_E_ILLEGAL_RESPONSE},
        {5, SLCOM_SUCCESS, SLCOM_E_NOT_HANDLED},
        {1, SLCOM_E_NO_RESPONSE, SLCOM_E_NOT_IN_LIST},
        {5, SLCOM_SUCCESS, SLCOM_SUCCESS}, // the late answer, given up, does not spoil the next
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        slcom_reset(s);
        slcom_set_timeout(s, cases[i].timeout);
        slcom_request(s, "T", 5, 'A');
        slcom_request(s, "T", 7, 0);
        EXPECT_EQ(slcom_flush(s), cases[i].flush);
        double v = -1;
        EXPECT_EQ(slcom_result(s, "T", 5, 'A', &v), cases[i].first);
        if (cases[i].flush == SLCOM_SUCCESS) {
            EXPECT_EQ(slcom_result(s, "T", 7, 0, &v), SLCOM_SUCCESS);
            EXPECT_EQ(v, 2.5);
        }
    }
}

TEST_F(SlcomExchange, FilesThatCannotBeWritten)
{
    slcom_set_values(s, dir.file("missing").c_str(), 3);
    slcom_request(s, "T", 5, 'A');
    EXPECT_EQ(slcom_flush(s), SLCOM_E_OPEN);
    EXPECT_EQ(slcom_result(s, "T", 5, 'A', nullptr), SLCOM_E_NOT_IN_LIST);

    // A directory where the flag goes: the rename fails.
    slcom_set_values(s, dir.path.c_str(), 3);
    fs::create_directories(dir.file("netflag3.sl2/x"));
    slcom_request(s, "T", 5, 'A');
    EXPECT_EQ(slcom_flush(s), SLCOM_E_RENAME);
    EXPECT_EQ(slcom_result(s, "T", 5, 'A', nullptr), SLCOM_E_NOT_IN_LIST);
    EXPECT_FALSE(fs::exists(dir.file("nettmp3.sl2")));

    // An answer far beyond any batch is refused unread.
    fs::remove_all(dir.file("netflag3.sl2"));
    slcom_request(s, "T", 5, 'A');
    EXPECT_EQ(slcom_ready(s), SLCOM_NOT_READY);
    put(dir.file("lcc3.sl2"), std::string(sl::max_result_file + 1, '\n'));
    put(dir.file("lccflag3.sl2"), "");
    EXPECT_EQ(slcom_ready(s), SLCOM_E_ILLEGAL_RESPONSE);
}

TEST_F(SlcomExchange, StepByStepAndAbort)
{
    auto program = start(R"({"do": "delay", "from": 4, "ms": 2000})");
    slcom_request(s, "T", 5, 'A');
    EXPECT_EQ(slcom_flush_async(s), SLCOM_NOT_READY);
    int st = SLCOM_NOT_READY;
    for (int i = 0; i < 100 && st == SLCOM_NOT_READY; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        st = slcom_ready(s);
    }
    EXPECT_EQ(st, SLCOM_SUCCESS);
    int n = 0;
    EXPECT_EQ(slcom_result_int(s, "T", 5, 'A', &n), SLCOM_SUCCESS);
    EXPECT_EQ(n, 21);

    // A fresh start sends again what was sent and not answered.
    slcom_reset(s);
    slcom_request(s, "T", 7, 0);
    EXPECT_EQ(slcom_ready(s), SLCOM_NOT_READY);
    EXPECT_EQ(slcom_flush_async(s), SLCOM_NOT_READY);
    for (int i = 0; i < 100 && (st = slcom_ready(s)) == SLCOM_NOT_READY; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(st, SLCOM_SUCCESS);
    EXPECT_EQ(slcom_result_int(s, "T", 7, 0, &n), SLCOM_SUCCESS);

    // A flush after a step waits for the answer to what the step sent.
    slcom_reset(s);
    slcom_request(s, "T", 7, 0);
    EXPECT_EQ(slcom_ready(s), SLCOM_NOT_READY);
    EXPECT_EQ(slcom_flush(s), SLCOM_SUCCESS);
    EXPECT_EQ(slcom_result_int(s, "T", 7, 0, &n), SLCOM_SUCCESS);

    // From the fourth file on answers come late: an abort from another thread cuts
    // the wait, and every flush after it fails at once until cleared.
    slcom_reset(s);
    slcom_set_timeout(s, 20);
    slcom_request(s, "T", 7, 0);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        slcom_abort(s);
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(slcom_flush(s), SLCOM_E_NO_RESPONSE);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    slcom_request(s, "T", 7, 0);
    EXPECT_EQ(slcom_flush(s), SLCOM_E_NO_RESPONSE);
    EXPECT_EQ(slcom_ready(s), SLCOM_E_NO_RESPONSE);
    slcom_clear_abort(s);
    slcom_request(s, "T", 7, 0);
    EXPECT_EQ(slcom_flush(s), SLCOM_SUCCESS);
}

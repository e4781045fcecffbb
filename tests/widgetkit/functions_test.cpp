#include <widgetkit/crashdlg.h>
#include <widgetkit/functions.h>
#include <widgetkit/stoc.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

TEST(ConcatPath, JoinsWithOneBackslash)
{
    EXPECT_EQ(wx_concat_path("", "file.txt"), "file.txt");
    EXPECT_EQ(wx_concat_path("C:\\data", "file.txt"), "C:\\data\\file.txt");
    EXPECT_EQ(wx_concat_path("C:\\data\\", "file.txt"), "C:\\data\\file.txt");
    // Only the backslash counts as a separator: this is text, not a path.
    EXPECT_EQ(wx_concat_path("dir/", "file.txt"), "dir/\\file.txt");
    EXPECT_EQ(wx_concat_path("dir", ""), "dir\\");
}

TEST(EscapeString, EscapesTheEscapeFirstThenEachSpecial)
{
    EXPECT_EQ(wx_escape_string("a,b", '\\', ","), "a\\,b");
    EXPECT_EQ(wx_escape_string("a\\b,c;", '\\', ",;"), "a\\\\b\\,c\\;");
    EXPECT_EQ(wx_escape_string("", '\\', ","), "");
    EXPECT_EQ(wx_escape_string("%%", '%', "="), "%%%%");
    EXPECT_EQ(wx_unescape_string("a\\,b", '\\', ","), "a,b");
    EXPECT_EQ(wx_unescape_string("a\\\\b\\,c\\;", '\\', ",;"), "a\\b,c;");
    // An escape before a character that is not special stays.
    EXPECT_EQ(wx_unescape_string("a\\xb", '\\', ","), "a\\xb");
}

// Every text over a small alphabet of escape, specials and plain characters
// survives escaping and unescaping.
void ExpectRoundTrips(wxUniChar escape, const wxString& specials, const wxString& alphabet, size_t maxLength)
{
    std::vector<wxString> texts{wxString()};
    size_t begin = 0;
    for (size_t length = 1; length <= maxLength; ++length) {
        const size_t end = texts.size();
        for (size_t i = begin; i < end; ++i)
            for (wxUniChar c : alphabet)
                texts.push_back(texts[i] + c);
        begin = end;
    }
    for (const wxString& text : texts) {
        const wxString escaped = wx_escape_string(text, escape, specials);
        ASSERT_EQ(wx_unescape_string(escaped, escape, specials), text)
            << "text \"" << text << "\" escaped as \"" << escaped << "\"";
    }
}

TEST(EscapeString, RoundTripsTrickyTexts)
{
    ExpectRoundTrips('\\', ",=", "\\,=x", 7);
    ExpectRoundTrips('%', "%;", "%;a", 6);
    ExpectRoundTrips(wxUniChar(0x00A7), wxString::FromUTF8("\xC3\xA5|"), wxString::FromUTF8("\xC2\xA7\xC3\xA5|e"), 6);
}

TEST(ReplaceCopyright, EveryMarkBecomesTheSign)
{
    EXPECT_EQ(wx_replace_copyright("Copyright (C) 2021 Acme, (C) Others"),
              wxString::FromUTF8("Copyright \xC2\xA9 2021 Acme, \xC2\xA9 Others"));
    EXPECT_EQ(wx_replace_copyright("(c) (C"), "(c) (C");
}

TEST(ValidateDate, MonthLengthsAndLeapYears)
{
    EXPECT_TRUE(ux_validate_wx_date(2024, wxDateTime::Feb, 29));
    EXPECT_FALSE(ux_validate_wx_date(2023, wxDateTime::Feb, 29));
    EXPECT_TRUE(ux_validate_wx_date(2000, wxDateTime::Feb, 29));
    EXPECT_FALSE(ux_validate_wx_date(1900, wxDateTime::Feb, 29));
    EXPECT_TRUE(ux_validate_wx_date(2023, wxDateTime::Jan, 31));
    EXPECT_FALSE(ux_validate_wx_date(2023, wxDateTime::Apr, 31));
    EXPECT_TRUE(ux_validate_wx_date(2023, wxDateTime::Dec, 31));
    EXPECT_FALSE(ux_validate_wx_date(2023, wxDateTime::Dec, 32));
    EXPECT_FALSE(ux_validate_wx_date(2023, wxDateTime::Mar, 0));
    EXPECT_FALSE(ux_validate_wx_date(2023, wxDateTime::Mar, -3));
}

TEST(ValidateDate, InvalidYearAndMonth)
{
    EXPECT_FALSE(ux_validate_wx_date(wxDateTime::Inv_Year, wxDateTime::Mar, 1));
    EXPECT_FALSE(ux_validate_wx_date(2023, wxDateTime::Inv_Month, 1));
    EXPECT_FALSE(ux_validate_wx_date(2023, -1, 1));
    EXPECT_FALSE(ux_validate_wx_date(2023, 13, 1));
}

TEST(MonthNumber, CountsFromOne)
{
    wxDateTime date(15, wxDateTime::Mar, 2023, 12, 0, 0);
    EXPECT_EQ(wx_get_month_number(date), 3);
    wx_set_month_number(date, 11);
    EXPECT_EQ(date.GetMonth(), wxDateTime::Nov);
    EXPECT_EQ(date.GetDay(), 15);
    wx_set_month_number(date, 1);
    EXPECT_EQ(wx_get_month_number(date), 1);
}

TEST(StoC, MakesAnOwnedUtf8Copy)
{
    const wxStoC text(wxString::FromUTF8("Str\xC3\xB6m \xE2\x82\xAC"));
    ASSERT_NE(text.cstr(), nullptr);
    EXPECT_STREQ(text.cstr(), "Str\xC3\xB6m \xE2\x82\xAC");
    const wxStoC empty{wxString()};
    ASSERT_NE(empty.cstr(), nullptr);
    EXPECT_STREQ(empty.cstr(), "");
}

TEST(CrashMarkup, MarkersBecomeHtmlAndTheRestIsEscaped)
{
    EXPECT_EQ(wx_crash_markup_to_html("send to <b>a&b@example.org<b> now"),
              "send to <b>a&amp;b@example.org</b> now");
    EXPECT_EQ(wx_crash_markup_to_html("<tt>/tmp/a b<c>.xml</tt>\n"), "<tt>/tmp/a&nbsp;b&lt;c&gt;.xml</tt><br>");
    // Unclosed markers are closed, stray closers dropped.
    EXPECT_EQ(wx_crash_markup_to_html("</b><b>x"), "<b>x</b>");
    EXPECT_EQ(wx_crash_markup_to_html("<tt>x</tt></tt>"), "<tt>x</tt>");
    EXPECT_EQ(wx_crash_markup_to_html("\"<i>\""), "&quot;&lt;i&gt;&quot;");
}

} // namespace

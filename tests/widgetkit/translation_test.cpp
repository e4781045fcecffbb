#include <widgetkit/aboutdlg.h>
#include <widgetkit/crashdlg.h>

#include "wx_test.h"

#include <gtest/gtest.h>

#include <wx/stattext.h>
#include <wx/translation.h>

namespace {

// Loads the Swedish widgetkit catalogue from the build's locale folder for
// one test, without needing the Swedish system locale.
class SwedishCatalogue
{
public:
    SwedishCatalogue()
    {
        wxFileTranslationsLoader::AddCatalogLookupPathPrefix(PLEXORD_LOCALE_DIR);
        auto* translations = new wxTranslations;
        translations->SetLanguage("sv");
        m_loaded = translations->AddCatalog("widgetkit");
        wxTranslations::Set(translations);
    }
    ~SwedishCatalogue() { wxTranslations::Set(nullptr); }
    bool Loaded() const { return m_loaded; }

private:
    bool m_loaded = false;
};

TEST(Translations, WidgetkitTextsInSwedish)
{
    SwedishCatalogue swedish;
    ASSERT_TRUE(swedish.Loaded()) << "widgetkit.mo for sv under " << PLEXORD_LOCALE_DIR;

    EXPECT_EQ(AboutDlg::FormatUptime(wxTimeSpan::Days(8)), "1 veckor, 1 dagar, 00 timmar");
    EXPECT_EQ(AboutDlg::FormatUptime(wxTimeSpan::Seconds(42)), "42 sekunder");

    AboutDlg about(nullptr);
    auto* uptime = dynamic_cast<wxStaticText*>(wxWindow::FindWindowByName("uptime", &about));
    ASSERT_NE(uptime, nullptr);
    EXPECT_TRUE(uptime->GetLabel().StartsWith(wxString::FromUTF8("Drifttid: "))) << uptime->GetLabel();

    CrashReportDialog crash("Plexord", "crash@example.org");
    EXPECT_EQ(crash.GetTitle(), "Kraschrapport");
    auto* heading = dynamic_cast<wxStaticText*>(wxWindow::FindWindowByName("heading", &crash));
    ASSERT_NE(heading, nullptr);
    EXPECT_EQ(heading->GetLabelText(), wxString::FromUTF8("Plexord har kraschat!"));
}

} // namespace

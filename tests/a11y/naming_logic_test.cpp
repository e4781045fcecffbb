// The rule that names dialog controls from their labels, and the words a
// status panel's description is made of; no display needed.
#include "accessible.h"
#include "status-window.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using K = ReadingItem;

TEST(AccessibleNaming, LabelTextBecomesAName)
{
    const struct
    {
        const char* label;
        const char* name;
    } cases[] = {
        {"&Name:", "Name"},
        {"Address: ", "Address"},
        {"Read && write:", "Read & write"},
        {"Max cache\nage:", "Max cache age"},
        {"Port ::", "Port"},
        {"Ratio 1:2", "Ratio 1:2"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LabelAsName(c.label), c.name) << c.label;
}

TEST(AccessibleNaming, ControlTakesLabelToolTipOrTitle)
{
    const struct
    {
        std::vector<ReadingItem> order;
        size_t index;
        const char* toolTip;
        const char* name;
    } cases[] = {
        // A two-column grid: label, field, label, field.
        {{{K::Label, "&Host:"}, {K::Control, ""}, {K::Label, "Port:"}, {K::Control, ""}}, 3, "", "Port"},
        // A panel between the label and the field it holds is passed over.
        {{{K::Label, "Date:"}, {K::Other, ""}, {K::Control, ""}}, 2, "", "Date"},
        // A heading, then the field's own label: the nearer one, before the tool tip.
        {{{K::Label, "Set time on device:"}, {K::Label, "Time:"}, {K::Control, ""}}, 2, "Device time", "Time"},
        // The button after a field belongs to no label.
        {{{K::Label, "Filename:"}, {K::Control, ""}, {K::Control, ""}}, 2, "", ""},
        {{{K::Label, "Filename:"}, {K::Control, ""}, {K::Control, ""}}, 2, " Browse ", "Browse"},
        // Nor does a field after "=": a mark is no label, the field before it stops the search.
        {{{K::Control, ""}, {K::Label, "="}, {K::Control, ""}}, 2, "Current value", "Current value"},
        // The first control without a label or tip: the window's title.
        {{{K::Other, ""}, {K::Control, ""}, {K::Label, "Filter"}}, 1, "", "Users"},
        {{{K::Label, "  "}, {K::Control, ""}}, 1, "Tasks", "Tasks"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NameFor(c.order, c.index, c.toolTip, "Users"), c.name)
            << "control " << c.index << " of " << c.order.size();
}

TEST(StatusPanelDescription, KindAndBothLampsInWords)
{
    EXPECT_EQ(PanelDescription("Network, MODBUS/TCP", LAMP_SUCCEEDED, LAMP_UNLIT),
              "Network, MODBUS/TCP; read: green, succeeded; write: off");
    EXPECT_EQ(PanelDescription("Client", LAMP_PENDING, LAMP_FAILED),
              "Client; read: yellow, waiting for the result; write: red, failed");
    // No two states read alike.
    std::set<wxString> words;
    for (LampState state : {LAMP_HIDDEN, LAMP_UNLIT, LAMP_PENDING, LAMP_SUCCEEDED, LAMP_FAILED}) {
        EXPECT_FALSE(LampStateText(state).empty()) << state;
        words.insert(LampStateText(state));
    }
    EXPECT_EQ(words.size(), 5u);
}

} // namespace

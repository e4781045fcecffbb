// A program built on widgetkit alone: it keeps a few setpoints in an XML file
// (written with the writer, read back with the reader and the tree) and lets
// the user change one in a typed text control that refuses what is not a
// number in range. Run with a file name; it prints what it did and exits 0
// when every step worked as it should.
#include <widgetkit/textctrl.h>
#include <widgetkit/xml.h>

#include <wx/app.h>
#include <wx/frame.h>
#include <wx/sizer.h>

#include <cstdio>

namespace {

struct Setpoint
{
    const char* name;
    int number;
    double value;
};

const Setpoint kSetpoints[] = {
    {"Temperature", 5, 21.5}, {"Humidity", 12, 65}, {"Flow, \"main\" <pipe>", 7, 1.25}, {"Fläkt 2", 9, 40}};

bool Write(const wxString& path)
{
    wxXmlWriter writer;
    bool ok = writer.Open(path) && writer.StartDocument() && writer.StartElement("setpoints") &&
              writer.WriteAttr("written", wxDateTime::Now().Format("%Y-%m-%d %H:%M:%S"));
    for (const Setpoint& s : kSetpoints) {
        ok = ok && writer.StartElement("setpoint") && writer.WriteAttr("name", wxString::FromUTF8(s.name)) &&
             writer.WriteAttr("number", s.number) && writer.WriteAttr("colour", *wxBLUE) &&
             writer.WriteText(wxString::Format("%g", s.value)) && writer.EndElement();
    }
    ok = ok && writer.EndElement() && writer.EndDocument();
    if (!writer.Close() || !ok) {
        std::printf("writing %s failed: %s\n", static_cast<const char*>(path.utf8_str()),
                    static_cast<const char*>(writer.GetError().utf8_str()));
        return false;
    }
    std::printf("wrote %zu setpoints to %s\n", std::size(kSetpoints), static_cast<const char*>(path.utf8_str()));
    return true;
}

// The reader walks the file once; every setpoint must come back as written.
bool ReadWithReader(const wxString& path)
{
    wxXmlReader reader;
    if (!reader.Open(path))
        return false;
    size_t seen = 0;
    bool same = true;
    while (reader.iRead()) {
        if (!reader.IsElement() || !reader.CmpName("setpoint"))
            continue;
        int number = 0;
        wxColour colour;
        const bool known = seen < std::size(kSetpoints);
        same = same && known && reader.AttrAsInt("number", &number) && number == kSetpoints[seen].number &&
               reader.GetAttr("name") == wxString::FromUTF8(kSetpoints[seen].name) &&
               reader.AttrAsColor("colour", colour) && colour == *wxBLUE;
        double value = 0;
        same = same && reader.GetText().ToCDouble(&value) && known && value == kSetpoints[seen].value;
        ++seen;
    }
    const bool ok = reader.IsEOF() && same && seen == std::size(kSetpoints);
    std::printf("reader: %zu setpoints, %s\n", seen, ok ? "as written" : "NOT as written");
    return ok;
}

bool ReadWithTree(const wxString& path)
{
    wxXmlTree tree;
    if (!tree.Open(path))
        return false;
    const widgetkit::wxXmlNode root = tree.GetRoot();
    bool ok = !root.IsNull() && root.GetNodeName() == "setpoints" &&
              root.GetChildElementCount() == std::size(kSetpoints);
    size_t i = 0;
    for (widgetkit::wxXmlNode n = root.GetFirstElementChild(); ok && !n.IsNull(); n = n.GetNextElementSibling(), ++i)
        ok = i < std::size(kSetpoints) && n.GetAttrAsInt("number") == kSetpoints[i].number &&
             n.GetAttr("name") == wxString::FromUTF8(kSetpoints[i].name) &&
             n.getAttrAsColour("colour") == *wxBLUE;
    std::printf("tree: root <%s>, %u setpoints, %s\n", static_cast<const char*>(root.GetNodeName().utf8_str()),
                root.IsNull() ? 0u : root.GetChildElementCount(), ok ? "as written" : "NOT as written");
    return ok;
}

// What a user types into the field for the first setpoint, and whether the
// field must take it.
bool Edit(wxWindow* parent)
{
    auto* field = new uxTextCtrl(parent, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize, uxTEXTCTRL_DOUBLE);
    field->SetRange(5, 35);
    field->SetDouble(kSetpoints[0].value);
    const struct
    {
        const char* typed;
        bool valid;
    } entries[] = {{"22.5", true}, {"abc", false}, {"40", false}, {"", false}, {"35", true}};
    bool ok = field->IsValid() && !field->IsAltered();
    for (const auto& e : entries) {
        field->SetValue(e.typed);
        std::printf("typed \"%s\": %s\n", e.typed, field->IsValid() ? "accepted" : "refused (yellow)");
        ok = ok && field->IsValid() == e.valid;
    }
    ok = ok && field->IsAltered() && field->GetDouble() == 35;
    return ok;
}

class FormApp : public wxApp
{
public:
    bool OnInit() override
    {
        if (argc < 2) {
            std::printf("usage: setpoint_form FILE.xml\n");
            return false;
        }
        const wxString path = argv[1];
        auto* frame = new wxFrame(nullptr, wxID_ANY, "Setpoints");
        frame->Show();
        CallAfter([this, frame, path] {
            const bool ok = Write(path) && ReadWithReader(path) && ReadWithTree(path) && Edit(frame);
            std::printf("%s\n", ok ? "all steps worked" : "a step failed");
            m_code = ok ? 0 : 1;
            frame->Destroy();
        });
        return true;
    }
    int OnRun() override
    {
        wxApp::OnRun();
        return m_code;
    }

private:
    int m_code = 1;
};

} // namespace

wxIMPLEMENT_APP(FormApp);

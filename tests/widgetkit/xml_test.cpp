#include "file_support.h"

#include <widgetkit/xml.h>

#include <gtest/gtest.h>

#include <wx/debug.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>

namespace {

namespace fs = std::filesystem;
using widgetkit::wxXmlNode;

using wktest::AssertRecorder;
using wktest::ReadBytes;
using wktest::WriteBytes;

struct TempDir : wktest::TempDir
{
    TempDir() : wktest::TempDir("wk-xml") {}
};

// Reads the file to its first element whose name is given.
void SeekElement(wxXmlReader& reader, const char* name)
{
    while (reader.iRead())
        if (reader.IsElement() && reader.CmpName(name))
            return;
    FAIL() << "no element " << name;
}

TEST(XmlReader, AttributeConversions)
{
    TempDir dir;
    WriteBytes(dir.Path("a.xml"), "<r f0='0' ffalse='false' fempty='' i12='12' i12x='12x' ineg='-7' ispace=' 1'"
                                  " imin='-2147483648' ibig='2147483648' c='#ff0010' cname='red' cbad='nope'/>");
    wxXmlReader reader;
    ASSERT_TRUE(reader.Open(dir.File("a.xml")));
    SeekElement(reader, "r");

    struct BoolCase { const char* name; bool def; bool expected; };
    for (const BoolCase& c : {BoolCase{"f0", true, false}, {"ffalse", false, true}, {"fempty", false, true},
                              {"absent", true, true}, {"absent", false, false}})
        EXPECT_EQ(reader.GetAttrAsBool(c.name, c.def), c.expected) << c.name << " default " << c.def;

    struct IntCase { const char* name; bool ok; int value; };
    for (const IntCase& c : {IntCase{"i12", true, 12}, {"ineg", true, -7}, {"imin", true, -2147483647 - 1},
                             {"i12x", false, 99}, {"ispace", false, 99}, {"ibig", false, 99}, {"fempty", false, 99},
                             {"absent", false, 99}}) {
        int out = 99;
        EXPECT_EQ(reader.AttrAsInt(c.name, &out), c.ok) << c.name;
        EXPECT_EQ(out, c.value) << c.name;
    }
    EXPECT_FALSE(reader.AttrAsInt("i12", nullptr));

    wxColour colour(1, 2, 3);
    EXPECT_TRUE(reader.AttrAsColor("c", colour));
    EXPECT_EQ(colour, wxColour(255, 0, 16));
    EXPECT_TRUE(reader.AttrAsColor("cname", colour));
    EXPECT_EQ(colour, wxColour(255, 0, 0));
    for (const char* name : {"cbad", "fempty", "absent"}) {
        colour.Set(1, 2, 3);
        EXPECT_FALSE(reader.AttrAsColor(name, colour)) << name;
        EXPECT_EQ(colour, wxColour(1, 2, 3)) << name;
    }
    EXPECT_TRUE(reader.HasAttr("fempty"));
    EXPECT_FALSE(reader.HasAttr("absent"));
    EXPECT_EQ(reader.GetAttr("absent"), "");
    EXPECT_EQ(reader.GetAttr("i12x"), "12x");
}

TEST(XmlReader, EndOfDocumentIsNotAnError)
{
    struct Case { const char* text; bool eof; };
    const Case cases[] = {
        {"<a><b/><!-- c --></a>\n", true},
        {"<?xml version='1.0'?>\n<a>t</a>", true},
        {"<a><b></a>", false},    // mismatched tag
        {"<a><b>", false},        // cut short
        {"<a/><a/>", false},      // two roots
        {"", false},              // no document at all
        {"<a>&undefined;</a>", false},
    };
    TempDir dir;
    for (const Case& c : cases) {
        WriteBytes(dir.Path("d.xml"), c.text);
        wxXmlReader reader;
        ASSERT_TRUE(reader.Open(dir.File("d.xml"))) << c.text;
        int nodes = 0;
        while (reader.iRead() && nodes < 100)
            ++nodes;
        EXPECT_EQ(reader.IsEOF(), c.eof) << c.text;
        // Once over, it stays over, the same way.
        EXPECT_FALSE(reader.iRead()) << c.text;
        EXPECT_FALSE(reader.iNext()) << c.text;
        EXPECT_EQ(reader.IsEOF(), c.eof) << c.text;
    }

    wxXmlReader closed;
    EXPECT_FALSE(closed.Open(dir.File("missing.xml")));
    EXPECT_FALSE(closed.Open(""));
    EXPECT_FALSE(closed.iRead());
    EXPECT_FALSE(closed.IsEOF());
    EXPECT_EQ(closed.GetType(), "");
}

TEST(XmlReader, SkipsCommentsAndWhitespaceAndSubtrees)
{
    TempDir dir;
    WriteBytes(dir.Path("s.xml"), "<a>\n  <!-- note -->\n  <b x='1'><c>deep</c>tail</b>\n  <d/>\n  <e>one<![CDATA[<two>]]></e>\n</a>\n");
    wxXmlReader reader;
    ASSERT_TRUE(reader.Open(dir.File("s.xml")));
    std::vector<wxString> seen;
    while (reader.iRead())
        seen.push_back(reader.GetType() + ":" + reader.GetName() + (reader.IsEmptyElement() ? "/" : ""));
    const std::vector<wxString> expected = {
        "element:a", "element:b", "element:c", "text:#text", "end element:c", "text:#text", "end element:b",
        "element:d/", "element:e", "text:#text", "cdata:#cdata-section", "end element:e", "end element:a"};
    EXPECT_EQ(seen, expected);

    // iNext from b lands on d; the text of an element is all text below it.
    ASSERT_TRUE(reader.Open(dir.File("s.xml")));
    SeekElement(reader, "b");
    EXPECT_EQ(reader.GetText(), "deeptail");
    EXPECT_TRUE(reader.IsElement());
    // The text was read ahead; reading goes on from b all the same.
    ASSERT_TRUE(reader.iRead());
    EXPECT_TRUE(reader.CmpName("c"));
    ASSERT_TRUE(reader.iNext());
    EXPECT_TRUE(reader.IsText());
    EXPECT_EQ(reader.GetText(), "tail");
    ASSERT_TRUE(reader.iNext());
    EXPECT_TRUE(reader.IsEndElement());
    ASSERT_TRUE(reader.iNext());
    EXPECT_TRUE(reader.CmpName("d"));
    EXPECT_FALSE(reader.CmpName("D"));
    EXPECT_FALSE(reader.CmpName(nullptr));
    EXPECT_EQ(reader.GetText(), "");
    ASSERT_TRUE(reader.iNext());
    EXPECT_EQ(reader.GetText(), "one<two>");
    ASSERT_TRUE(reader.iNext());
    EXPECT_TRUE(reader.IsEndElement());
    EXPECT_FALSE(reader.iNext());
    EXPECT_TRUE(reader.IsEOF());
}

TEST(XmlReader, CopiesShareOneHandle)
{
    TempDir dir;
    WriteBytes(dir.Path("c.xml"), "<a><b/><c/></a>");
    wxXmlReader copy;
    {
        wxXmlReader original;
        ASSERT_TRUE(original.Open(dir.File("c.xml")));
        ASSERT_TRUE(original.iRead());
        copy = original;
        wxXmlReader second(original);
        second = second;
        ASSERT_TRUE(second.iRead());
        EXPECT_TRUE(original.CmpName("b"));
        original.Close();
        EXPECT_FALSE(original.iRead());
    }
    // The copy still reads from where the others left it.
    ASSERT_TRUE(copy.iRead());
    EXPECT_TRUE(copy.CmpName("c"));
    copy = wxXmlReader();
    EXPECT_FALSE(copy.iRead());
}

TEST(XmlWriter, DocumentWrittenAndReadBack)
{
    TempDir dir;
    const wxString tricky = wxString::FromUTF8("a<b & \"c\" 'd'> Åsa ünï 日本 \xf0\x9f\x99\x82");
    const wxDateTime when(14, wxDateTime::Mar, 2024, 9, 5, 7);
    {
        wxXmlWriter writer;
        ASSERT_TRUE(writer.Open(dir.File("w.xml")));
        EXPECT_TRUE(writer.StartDocument());
        EXPECT_TRUE(writer.StartElement("root"));
        EXPECT_TRUE(writer.WriteAttr("plain", "text"));
        EXPECT_TRUE(writer.WriteAttr("tricky", tricky));
        EXPECT_TRUE(writer.WriteAttr(wxString::FromUTF8("nämn"), wxString("wide")));
        EXPECT_TRUE(writer.WriteAttr("n", -42));
        EXPECT_TRUE(writer.WriteAttr(wxString("m"), 7));
        EXPECT_TRUE(writer.WriteAttr("colour", wxColour(255, 0, 16)));
        EXPECT_TRUE(writer.writeAttr("when", when));
        EXPECT_FALSE(writer.WriteAttr("nocolour", wxColour()));
        EXPECT_FALSE(writer.writeAttr("nodate", wxDateTime()));
        EXPECT_TRUE(writer.StartElement("item"));
        EXPECT_TRUE(writer.WriteText(tricky));
        EXPECT_TRUE(writer.EndElement());
        EXPECT_TRUE(writer.StartElement("open"));
        EXPECT_TRUE(writer.StartElement("inner"));
        EXPECT_TRUE(writer.EndDocument());
        EXPECT_FALSE(writer.EndElement());
        EXPECT_EQ(writer.GetError(), "Unhandled XML-error.");
    }
    const std::string bytes = ReadBytes(dir.Path("w.xml"));
    EXPECT_EQ(bytes.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root ", 0), 0u) << bytes;
    EXPECT_NE(bytes.find(" colour=\"#ff0010\""), std::string::npos) << bytes;
    EXPECT_NE(bytes.find(" n=\"-42\""), std::string::npos) << bytes;
    EXPECT_NE(bytes.find(" when=\"2024-03-14T09:05:07\""), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("\n  <item>a&lt;b &amp; &quot;c&quot; 'd'&gt; Åsa ünï 日本 \xf0\x9f\x99\x82</item>"),
              std::string::npos) << bytes;
    EXPECT_NE(bytes.find("\n    <inner/>\n  </open>\n</root>\n"), std::string::npos) << bytes;
    EXPECT_EQ(bytes.find("nocolour"), std::string::npos);
    EXPECT_EQ(bytes.find("nodate"), std::string::npos);
    EXPECT_EQ(dir.Count(), 1u) << "the temporary file is gone";

    wxXmlReader reader;
    ASSERT_TRUE(reader.Open(dir.File("w.xml")));
    SeekElement(reader, "root");
    EXPECT_EQ(reader.GetAttr("tricky"), tricky);
    EXPECT_EQ(reader.GetAttr(wxString::FromUTF8("nämn").utf8_str()), "wide");
    SeekElement(reader, "item");
    EXPECT_EQ(reader.GetText(), tricky);

    wxXmlTree tree;
    ASSERT_TRUE(tree.Open(dir.File("w.xml")));
    const wxXmlNode root = tree.GetRoot();
    EXPECT_EQ(root.GetAttr("tricky"), tricky);
    EXPECT_EQ(root.GetAttrAsInt("n"), -42);
    EXPECT_EQ(root.getAttrAsColour("colour"), wxColour(255, 0, 16));
    EXPECT_EQ(root.getAttrAsDateTime("when"), when);
    EXPECT_EQ(root.GetFirstElementChild().GetTextContent(), tricky);
}

TEST(XmlWriter, OldFileStaysUntilTheNewOneIsComplete)
{
    TempDir dir;
    const std::string path = dir.Path("keep.xml");
    WriteBytes(path, "<old/>");
    {
        wxXmlWriter writer;
        ASSERT_TRUE(writer.Open(dir.File("keep.xml")));
        EXPECT_TRUE(writer.StartElement("new"));
        EXPECT_TRUE(writer.EndDocument());
        EXPECT_EQ(ReadBytes(path), "<old/>");
        EXPECT_TRUE(writer.Close());
        EXPECT_FALSE(writer.Close());
        EXPECT_FALSE(writer.StartElement("late"));
    }
    EXPECT_EQ(ReadBytes(path), "<new/>\n");

    // A file that cannot be written out in full leaves the old one.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    {
        wxXmlWriter writer;
        ASSERT_TRUE(writer.Open(dir.File("keep.xml")));
        struct rlimit small = saved;
        small.rlim_cur = 1024;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        writer.StartElement("big");
        writer.WriteText(wxString('x', 100000));
        writer.EndDocument();
        EXPECT_FALSE(writer.Close());
        setrlimit(RLIMIT_FSIZE, &saved);
    }
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(ReadBytes(path), "<new/>\n");
    EXPECT_EQ(dir.Count(), 1u);

    wxXmlWriter nowhere;
    EXPECT_FALSE(nowhere.Open(dir.File("no/such/dir.xml")));
    EXPECT_FALSE(nowhere.StartDocument());
}

TEST(XmlTree, NavigationAndTextRules)
{
    wxXmlTree tree;
    ASSERT_TRUE(tree.Parse(wxString::FromUTF8("<r>\n <a>only</a>\n <b>text<!-- c --></b>\n <c> \t&#13;\n</c>"
                                              "<d><?pi x?><![CDATA[cd]]></d><e/></r>")));
    const wxXmlNode r = tree.GetRoot();
    EXPECT_EQ(r.GetNodeName(), "r");
    EXPECT_EQ(r.GetChildElementCount(), 5u);
    const wxXmlNode first = r.GetFirstChild();
    EXPECT_TRUE(first.IsWhitespace());
    EXPECT_EQ(first.GetType(), "text");
    const wxXmlNode a = r.GetFirstElementChild();
    EXPECT_EQ(a.GetNodeName(), "a");
    EXPECT_EQ(a.GetTextContent(), "only");
    EXPECT_FALSE(a.GetFirstChild().IsWhitespace());
    const wxXmlNode b = a.GetNextElementSibling();
    EXPECT_EQ(b.GetTextContent(), "");
    EXPECT_EQ(b.GetFirstChild().GetText(), "text");
    EXPECT_TRUE(b.GetFirstChild().GetNextSibling().IsComment());
    EXPECT_EQ(b.GetFirstChild().GetNextSibling().GetType(), "comment");
    const wxXmlNode c = b.GetNextElementSibling();
    EXPECT_TRUE(c.GetFirstChild().IsWhitespace());
    EXPECT_EQ(c.GetTextContent(), " \t\r\n");
    const wxXmlNode d = c.GetNextElementSibling();
    EXPECT_EQ(d.GetFirstChild().GetType(), "processing instruction");
    EXPECT_EQ(d.GetFirstChild().GetNextSibling().GetType(), "cdata");
    EXPECT_EQ(d.GetTextContent(), "");
    const wxXmlNode e = d.GetNextElementSibling();
    EXPECT_FALSE(e.HasChildren());
    EXPECT_FALSE(e.HasNextSibling());
    EXPECT_TRUE(e.GetFirstElementChild().IsNull());
    EXPECT_TRUE(e.GetNextElementSibling().IsNull());
    EXPECT_EQ(e.GetTextContent(), "");
}

TEST(XmlTree, AttributeConversions)
{
    wxXmlTree tree;
    ASSERT_TRUE(tree.Parse("<r i='12' ix='12x' d='1.5' dx='1.5x' c='#ff0010' cname='blue' cbad='#12' e=''"
                           " t='2023-12-31T23:59:58' tbad='2023-13-01T00:00:00' tjunk='2023-12-31T23:59:58Z'/>"));
    const wxXmlNode r = tree.GetRoot();
    EXPECT_EQ(r.GetAttrAsInt("i"), 12);
    for (const char* name : {"ix", "e", "absent"}) {
        EXPECT_EQ(r.GetAttrAsInt(name), 0) << name;
        EXPECT_EQ(r.GetAttrAsDouble(name), 0.0) << name;
        EXPECT_FALSE(r.getAttrAsColour(name).IsOk()) << name;
        EXPECT_FALSE(r.getAttrAsDateTime(name).IsValid()) << name;
    }
    EXPECT_EQ(r.GetAttrAsDouble("d"), 1.5);
    EXPECT_EQ(r.GetAttrAsDouble("dx"), 0.0);
    EXPECT_EQ(r.getAttrAsColour("c"), wxColour(255, 0, 16));
    EXPECT_EQ(r.getAttrAsColour("cname"), wxColour(0, 0, 255));
    EXPECT_FALSE(r.getAttrAsColour("cbad").IsOk());
    EXPECT_EQ(r.getAttrAsDateTime("t"), wxDateTime(31, wxDateTime::Dec, 2023, 23, 59, 58));
    EXPECT_FALSE(r.getAttrAsDateTime("tbad").IsValid());
    EXPECT_FALSE(r.getAttrAsDateTime("tjunk").IsValid());
    EXPECT_TRUE(r.HasAttr("e"));
    EXPECT_FALSE(r.HasAttr("absent"));
}

TEST(XmlTree, BrokenPreconditionsAssertAndGoOn)
{
    AssertRecorder asserts;
    wxXmlTree tree;
    EXPECT_TRUE(tree.GetRoot().IsNull());
    EXPECT_EQ(asserts.Take(), "doc != 0 && root != 0");
    EXPECT_FALSE(tree.Open("/no/such/file.xml"));
    EXPECT_FALSE(tree.Parse("<a>"));
    EXPECT_FALSE(tree.Parse(""));
    EXPECT_EQ(asserts.Take(), "") << "a failed open leaves the tree closed";

    ASSERT_TRUE(tree.Parse("<a>t</a>"));
    const wxXmlNode text = tree.GetRoot().GetFirstChild();
    EXPECT_TRUE(text.GetFirstChild().IsNull());
    EXPECT_EQ(asserts.Take(), "node->children != 0");
    EXPECT_TRUE(text.GetNextSibling().IsNull());
    EXPECT_EQ(asserts.Take(), "node->next != 0");
    EXPECT_EQ(tree.GetRoot().GetText(), "");
    EXPECT_EQ(asserts.Take(), "node->type == XML_TEXT_NODE");
    EXPECT_EQ(text.GetTextContent(), "");
    EXPECT_EQ(asserts.Take(), "node->type == XML_ELEMENT_NODE");

    // A null handle never reaches for a node.
    const wxXmlNode null = text.GetFirstChild();
    asserts.Take();
    EXPECT_EQ(null.GetNodeName(), "");
    EXPECT_EQ(null.GetAttr("x"), "");
    EXPECT_TRUE(null.GetFirstElementChild().IsNull());
    EXPECT_EQ(null.GetChildElementCount(), 0u);
    EXPECT_EQ(asserts.Take(), "node != 0|node != 0|node != 0|node != 0");
    EXPECT_FALSE(null.IsElement() || null.IsWhitespace() || null.HasChildren() || null.HasNextSibling());
    EXPECT_EQ(asserts.Take(), "");

    // Opening over an open tree reports it and takes the new document.
    ASSERT_TRUE(tree.Parse("<b/>"));
    EXPECT_EQ(asserts.Take(), "doc == 0 && root == 0");
    EXPECT_EQ(tree.GetRoot().GetNodeName(), "b");
}

TEST(XmlTree, CopiesShareOneDocument)
{
    wxXmlTree copy;
    wxXmlNode node;
    {
        wxXmlTree original;
        ASSERT_TRUE(original.Parse("<a><b k='v'/></a>"));
        wxXmlTree second(original);
        copy = second;
        copy = copy;
        node = original.GetRoot().GetFirstElementChild();
        original.Close();
        second = wxXmlTree();
    }
    // The last holder keeps the document, and so its nodes.
    EXPECT_EQ(node.GetAttr("k"), "v");
    EXPECT_EQ(copy.GetRoot().GetNodeName(), "a");
    copy.Close();
    AssertRecorder asserts;
    EXPECT_TRUE(copy.GetRoot().IsNull());
}

TEST(XmlPaths, OnlyLocalFilesAreOpened)
{
    // "-" would be standard input and a URL a download to the libraries
    // underneath; here both are just names of files that do not exist.
    TempDir dir;
    const fs::path cwd = fs::current_path();
    fs::current_path(dir.Path(""));
    for (const char* path : {"-", "http://127.0.0.1:9/x.xml", "file:///etc/passwd"}) {
        wxXmlReader reader;
        EXPECT_FALSE(reader.Open(path)) << path;
        wxXmlTree tree;
        EXPECT_FALSE(tree.Open(path)) << path;
    }
    fs::current_path(cwd);
}

} // namespace

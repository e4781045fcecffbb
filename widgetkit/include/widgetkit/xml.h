// XML files through libxml2 with toolkit strings, colours and dates: a
// forward-only reader, an indenting writer, and a parsed tree with node
// handles. Text crosses as UTF-8.
//
// The classes live in namespace widgetkit, because the toolkit's own xml
// library (linked by its QA library) has a global wxXmlNode of its own. The
// reader, writer and tree names, which the toolkit does not use, are also
// declared globally; the node handle is widgetkit::wxXmlNode (or reach it
// with `using namespace widgetkit;` where the toolkit's xml header is not
// included).
#ifndef WIDGETKIT_XML_H
#define WIDGETKIT_XML_H

#include <widgetkit/export.h>

#include <wx/colour.h>
#include <wx/datetime.h>
#include <wx/string.h>

#include <memory>

struct _xmlNode;

namespace widgetkit {

namespace xmlcore {
class Document;
class Writer;
}

class WIDGETKIT_API wxXmlReader
{
public:
    wxXmlReader();
    // Copies share the open file and its position; the last one to let go
    // releases it.
    wxXmlReader(const wxXmlReader& other);
    wxXmlReader& operator=(const wxXmlReader& other);
    ~wxXmlReader();

    bool Open(const wxString& path);
    void Close();

    // Both pass over comments and whitespace. False at the end of the
    // document (IsEOF then true) or on a parse error (IsEOF stays false).
    bool iRead();
    bool iNext();
    bool IsEOF() const;

    bool IsElement() const;
    bool IsEndElement() const;
    bool IsText() const;
    bool IsComment() const;
    bool IsEmptyElement() const;
    wxString GetType() const;

    bool CmpName(const char* name) const;
    wxString GetName() const;

    bool HasAttr(const char* name) const;
    wxString GetAttr(const char* name) const;
    bool GetAttrAsBool(const char* name, bool def) const;
    // On failure (absent, not a whole decimal int, not a colour) the output
    // is left as it was.
    bool AttrAsInt(const char* name, int* out) const;
    bool AttrAsColor(const char* name, wxColour& out) const;

    wxString GetText();

private:
    struct State;
    int Kind() const;

    std::shared_ptr<State> m_state;
};

class WIDGETKIT_API wxXmlWriter
{
public:
    wxXmlWriter();
    wxXmlWriter(const wxXmlWriter&) = delete;
    wxXmlWriter& operator=(const wxXmlWriter&) = delete;
    ~wxXmlWriter();

    // The file is written beside the path and takes its place at Close (or
    // destruction), so a failed write leaves the old file as it was.
    bool Open(const wxString& path);
    // True when the file was completely written and put in place.
    bool Close();

    bool StartDocument();
    bool StartElement(const char* name);
    bool EndElement();
    bool EndDocument();

    bool WriteAttr(const char* name, const char* value);
    bool WriteAttr(const char* name, const wxString& value);
    bool WriteAttr(const wxString& name, const wxString& value);
    bool WriteAttr(const char* name, int value);
    bool WriteAttr(const wxString& name, int value);
    // "#rrggbb"; an invalid colour writes nothing and gives false.
    bool WriteAttr(const char* name, const wxColour& value);
    // Local time, "YYYY-MM-DDTHH:MM:SS"; an invalid date writes nothing and
    // gives false.
    bool writeAttr(const char* name, const wxDateTime& value);
    bool WriteText(const wxString& text);

    wxString GetError() const;

private:
    std::unique_ptr<xmlcore::Writer> m_writer;
};

class wxXmlTree;

// A handle on one node of a wxXmlTree, valid while the tree stays open.
class WIDGETKIT_API wxXmlNode
{
public:
    wxXmlNode() = default;

    bool IsNull() const { return m_node == nullptr; }
    bool IsElement() const;
    bool IsText() const;
    bool IsComment() const;
    bool IsWhitespace() const;

    wxString GetNodeName() const;
    wxString GetType() const;

    bool HasChildren() const;
    bool HasNextSibling() const;
    wxXmlNode GetFirstChild() const;
    wxXmlNode GetNextSibling() const;
    wxXmlNode GetFirstElementChild() const;
    wxXmlNode GetNextElementSibling() const;
    unsigned GetChildElementCount() const;

    bool HasAttr(const wxString& name) const;
    wxString GetAttr(const wxString& name) const;
    int GetAttrAsInt(const wxString& name) const;
    double GetAttrAsDouble(const wxString& name) const;
    wxColour getAttrAsColour(const wxString& name) const;
    wxDateTime getAttrAsDateTime(const wxString& name) const;

    wxString GetText() const;
    wxString GetTextContent() const;

private:
    friend class wxXmlTree;
    explicit wxXmlNode(_xmlNode* node) : m_node(node) {}
    // False (after an assertion) on a null handle.
    bool Exists() const;

    _xmlNode* m_node = nullptr;
};

class WIDGETKIT_API wxXmlTree
{
public:
    wxXmlTree();
    // Copies share the document; the last one to let go releases it.
    wxXmlTree(const wxXmlTree& other);
    wxXmlTree& operator=(const wxXmlTree& other);
    virtual ~wxXmlTree();

    bool Open(const wxString& path);
    bool Parse(const wxString& text);
    void Close();
    wxXmlNode GetRoot() const;

private:
    // Asserts that nothing is open, and lets go of what is.
    void ExpectClosed();

    std::shared_ptr<xmlcore::Document> m_doc;
};

} // namespace widgetkit

using wxXmlReader = widgetkit::wxXmlReader;
using wxXmlWriter = widgetkit::wxXmlWriter;
using wxXmlTree = widgetkit::wxXmlTree;

#endif

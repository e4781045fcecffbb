#include <widgetkit/xml.h>

#include "intl.h"
#include "xmlcore.h"

#include <wx/debug.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace widgetkit {

namespace {

// The condition text says it all.
const char* const kNoDetail = nullptr;

wxString FromUtf8(const char* text)
{
    return text != nullptr ? wxString::FromUTF8(text) : wxString();
}

wxString FromUtf8(const xmlChar* text)
{
    return FromUtf8(reinterpret_cast<const char*>(text));
}

wxString FromUtf8(const std::optional<std::string>& text)
{
    return text ? wxString::FromUTF8(text->data(), text->size()) : wxString();
}

// The toolkit's colour-from-text rule, into a copy so that a failure leaves
// the caller's colour alone.
bool ColourFromText(const wxString& text, wxColour& out)
{
    wxColour parsed;
    if (text.empty() || !parsed.Set(text) || !parsed.IsOk())
        return false;
    out = parsed;
    return true;
}

} // namespace

// ---- reader ----

struct wxXmlReader::State
{
    xmlcore::Reader reader;
    bool eof = false;
};

wxXmlReader::wxXmlReader() = default;
wxXmlReader::wxXmlReader(const wxXmlReader& other) = default;
wxXmlReader& wxXmlReader::operator=(const wxXmlReader& other) = default;
wxXmlReader::~wxXmlReader() = default;

bool wxXmlReader::Open(const wxString& path)
{
    Close();
    auto state = std::make_shared<State>();
    if (!state->reader.Open(path.utf8_str()))
        return false;
    m_state = std::move(state);
    return true;
}

void wxXmlReader::Close()
{
    m_state.reset();
}

bool wxXmlReader::iRead()
{
    if (!m_state)
        return false;
    const int rc = m_state->reader.Read();
    m_state->eof = m_state->eof || rc == 0;
    return rc == 1;
}

bool wxXmlReader::iNext()
{
    if (!m_state)
        return false;
    const int rc = m_state->reader.Next();
    m_state->eof = m_state->eof || rc == 0;
    return rc == 1;
}

bool wxXmlReader::IsEOF() const
{
    return m_state && m_state->eof;
}

int wxXmlReader::Kind() const
{
    return m_state ? m_state->reader.Kind() : -1;
}

bool wxXmlReader::IsElement() const
{
    return Kind() == XML_READER_TYPE_ELEMENT;
}

bool wxXmlReader::IsEndElement() const
{
    return Kind() == XML_READER_TYPE_END_ELEMENT;
}

bool wxXmlReader::IsText() const
{
    return Kind() == XML_READER_TYPE_TEXT;
}

bool wxXmlReader::IsComment() const
{
    return Kind() == XML_READER_TYPE_COMMENT;
}

bool wxXmlReader::IsEmptyElement() const
{
    return m_state && m_state->reader.IsEmptyElement();
}

wxString wxXmlReader::GetType() const
{
    return FromUtf8(xmlcore::ReaderKindName(Kind()));
}

bool wxXmlReader::CmpName(const char* name) const
{
    const char* current = m_state ? m_state->reader.Name() : nullptr;
    return name != nullptr && current != nullptr && std::strcmp(current, name) == 0;
}

wxString wxXmlReader::GetName() const
{
    return m_state ? FromUtf8(m_state->reader.Name()) : wxString();
}

bool wxXmlReader::HasAttr(const char* name) const
{
    return m_state && m_state->reader.Attr(name).has_value();
}

wxString wxXmlReader::GetAttr(const char* name) const
{
    return m_state ? FromUtf8(m_state->reader.Attr(name)) : wxString();
}

bool wxXmlReader::GetAttrAsBool(const char* name, bool def) const
{
    if (!m_state)
        return def;
    const auto value = m_state->reader.Attr(name);
    return xmlcore::BoolFromValue(value ? value->c_str() : nullptr, def);
}

bool wxXmlReader::AttrAsInt(const char* name, int* out) const
{
    if (!m_state || out == nullptr)
        return false;
    const auto value = m_state->reader.Attr(name);
    return value && xmlcore::ParseDecimal(value->c_str(), *out);
}

bool wxXmlReader::AttrAsColor(const char* name, wxColour& out) const
{
    if (!m_state)
        return false;
    const auto value = m_state->reader.Attr(name);
    return value && ColourFromText(FromUtf8(value), out);
}

wxString wxXmlReader::GetText()
{
    if (!m_state)
        return {};
    const std::string text = m_state->reader.Text();
    return wxString::FromUTF8(text.data(), text.size());
}

// ---- writer ----

wxXmlWriter::wxXmlWriter() = default;

wxXmlWriter::~wxXmlWriter()
{
    Close();
}

bool wxXmlWriter::Open(const wxString& path)
{
    Close();
    auto writer = std::make_unique<xmlcore::Writer>();
    if (!writer->Open(path.utf8_str()))
        return false;
    m_writer = std::move(writer);
    return true;
}

bool wxXmlWriter::Close()
{
    if (!m_writer)
        return false;
    const bool ok = m_writer->Close();
    m_writer.reset();
    return ok;
}

#define WK_XML_WRITE(call) (m_writer && (call) >= 0)

bool wxXmlWriter::StartDocument()
{
    return WK_XML_WRITE(xmlTextWriterStartDocument(m_writer->Handle(), "1.0", "UTF-8", nullptr));
}

bool wxXmlWriter::StartElement(const char* name)
{
    return name != nullptr && WK_XML_WRITE(xmlTextWriterStartElement(m_writer->Handle(), BAD_CAST name));
}

bool wxXmlWriter::EndElement()
{
    return WK_XML_WRITE(xmlTextWriterEndElement(m_writer->Handle()));
}

bool wxXmlWriter::EndDocument()
{
    return WK_XML_WRITE(xmlTextWriterEndDocument(m_writer->Handle()));
}

bool wxXmlWriter::WriteAttr(const char* name, const char* value)
{
    return name != nullptr && value != nullptr &&
           WK_XML_WRITE(xmlTextWriterWriteAttribute(m_writer->Handle(), BAD_CAST name, BAD_CAST value));
}

bool wxXmlWriter::WriteAttr(const char* name, const wxString& value)
{
    return WriteAttr(name, static_cast<const char*>(value.utf8_str()));
}

bool wxXmlWriter::WriteAttr(const wxString& name, const wxString& value)
{
    return WriteAttr(static_cast<const char*>(name.utf8_str()), static_cast<const char*>(value.utf8_str()));
}

bool wxXmlWriter::WriteAttr(const char* name, int value)
{
    return WriteAttr(name, std::to_string(value).c_str());
}

bool wxXmlWriter::WriteAttr(const wxString& name, int value)
{
    return WriteAttr(static_cast<const char*>(name.utf8_str()), value);
}

bool wxXmlWriter::WriteAttr(const char* name, const wxColour& value)
{
    // An invalid colour has no components: "#000000" would read back as black.
    if (!value.IsOk())
        return false;
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", value.Red(), value.Green(), value.Blue());
    return WriteAttr(name, static_cast<const char*>(text));
}

bool wxXmlWriter::writeAttr(const char* name, const wxDateTime& value)
{
    if (!value.IsValid())
        return false;
    return WriteAttr(name, value.FormatISOCombined('T'));
}

bool wxXmlWriter::WriteText(const wxString& text)
{
    return WK_XML_WRITE(xmlTextWriterWriteString(m_writer->Handle(), BAD_CAST static_cast<const char*>(text.utf8_str())));
}

#undef WK_XML_WRITE

wxString wxXmlWriter::GetError() const
{
    return WK_("Unhandled XML-error.");
}

// ---- tree ----

wxXmlTree::wxXmlTree() = default;
wxXmlTree::wxXmlTree(const wxXmlTree& other) = default;
wxXmlTree& wxXmlTree::operator=(const wxXmlTree& other) = default;
wxXmlTree::~wxXmlTree() = default;

void wxXmlTree::ExpectClosed()
{
    if (m_doc) {
        wxFAIL_COND_MSG(doc == 0 && root == 0, kNoDetail);
        Close();
    }
}

bool wxXmlTree::Open(const wxString& path)
{
    ExpectClosed();
    auto doc = std::make_shared<xmlcore::Document>();
    if (!doc->Open(path.utf8_str()))
        return false;
    m_doc = std::move(doc);
    return true;
}

bool wxXmlTree::Parse(const wxString& text)
{
    ExpectClosed();
    const wxScopedCharBuffer utf8 = text.utf8_str();
    auto doc = std::make_shared<xmlcore::Document>();
    if (!doc->Parse(utf8.data(), utf8.length()))
        return false;
    m_doc = std::move(doc);
    return true;
}

void wxXmlTree::Close()
{
    m_doc.reset();
}

wxXmlNode wxXmlTree::GetRoot() const
{
    if (!m_doc) {
        wxFAIL_COND_MSG(doc != 0 && root != 0, kNoDetail);
        return wxXmlNode();
    }
    return wxXmlNode(m_doc->Root());
}

// ---- node ----

bool wxXmlNode::Exists() const
{
    if (m_node != nullptr)
        return true;
    wxFAIL_COND_MSG(node != 0, kNoDetail);
    return false;
}

bool wxXmlNode::IsElement() const
{
    return m_node != nullptr && m_node->type == XML_ELEMENT_NODE;
}

bool wxXmlNode::IsText() const
{
    return m_node != nullptr && m_node->type == XML_TEXT_NODE;
}

bool wxXmlNode::IsComment() const
{
    return m_node != nullptr && m_node->type == XML_COMMENT_NODE;
}

bool wxXmlNode::IsWhitespace() const
{
    return IsText() && xmlcore::IsBlank(m_node->content);
}

wxString wxXmlNode::GetNodeName() const
{
    return Exists() ? FromUtf8(m_node->name) : wxString();
}

wxString wxXmlNode::GetType() const
{
    if (!Exists())
        return {};
    const char* name = xmlcore::NodeKindName(m_node->type);
    if (name == nullptr)
        wxFAIL_MSG(wxString::Format("unknown XML node type %d", static_cast<int>(m_node->type)));
    return FromUtf8(name);
}

bool wxXmlNode::HasChildren() const
{
    return m_node != nullptr && m_node->children != nullptr;
}

bool wxXmlNode::HasNextSibling() const
{
    return m_node != nullptr && m_node->next != nullptr;
}

wxXmlNode wxXmlNode::GetFirstChild() const
{
    if (!Exists())
        return {};
    if (m_node->children == nullptr)
        wxFAIL_COND_MSG(node->children != 0, kNoDetail);
    return wxXmlNode(m_node->children);
}

wxXmlNode wxXmlNode::GetNextSibling() const
{
    if (!Exists())
        return {};
    if (m_node->next == nullptr)
        wxFAIL_COND_MSG(node->next != 0, kNoDetail);
    return wxXmlNode(m_node->next);
}

wxXmlNode wxXmlNode::GetFirstElementChild() const
{
    return Exists() ? wxXmlNode(xmlcore::FirstElement(m_node->children)) : wxXmlNode();
}

wxXmlNode wxXmlNode::GetNextElementSibling() const
{
    return Exists() ? wxXmlNode(xmlcore::FirstElement(m_node->next)) : wxXmlNode();
}

unsigned wxXmlNode::GetChildElementCount() const
{
    return Exists() ? xmlcore::ChildElementCount(m_node) : 0;
}

bool wxXmlNode::HasAttr(const wxString& name) const
{
    return Exists() && xmlcore::NodeAttr(m_node, name.utf8_str()).has_value();
}

wxString wxXmlNode::GetAttr(const wxString& name) const
{
    return Exists() ? FromUtf8(xmlcore::NodeAttr(m_node, name.utf8_str())) : wxString();
}

int wxXmlNode::GetAttrAsInt(const wxString& name) const
{
    int value = 0;
    if (Exists()) {
        const auto text = xmlcore::NodeAttr(m_node, name.utf8_str());
        if (text)
            xmlcore::ParseDecimal(text->c_str(), value);
    }
    return value;
}

double wxXmlNode::GetAttrAsDouble(const wxString& name) const
{
    double value = 0;
    if (!Exists() || !GetAttr(name).ToDouble(&value))
        return 0;
    return value;
}

wxColour wxXmlNode::getAttrAsColour(const wxString& name) const
{
    wxColour colour;
    if (Exists())
        ColourFromText(GetAttr(name), colour);
    return colour;
}

wxDateTime wxXmlNode::getAttrAsDateTime(const wxString& name) const
{
    wxDateTime when;
    if (!Exists())
        return when;
    const wxString text = GetAttr(name);
    if (text.empty() || !when.ParseISOCombined(text, 'T'))
        return wxInvalidDateTime;
    return when;
}

wxString wxXmlNode::GetText() const
{
    if (!Exists())
        return {};
    if (m_node->type != XML_TEXT_NODE) {
        wxFAIL_COND_MSG(node->type == XML_TEXT_NODE, kNoDetail);
        return {};
    }
    return FromUtf8(m_node->content);
}

wxString wxXmlNode::GetTextContent() const
{
    if (!Exists())
        return {};
    if (m_node->type != XML_ELEMENT_NODE) {
        wxFAIL_COND_MSG(node->type == XML_ELEMENT_NODE, kNoDetail);
        return {};
    }
    return FromUtf8(xmlcore::SoleText(m_node));
}

} // namespace widgetkit

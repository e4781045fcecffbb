// The toolkit-free half of the XML classes: libxml2 handles, their release,
// and the reading rules on plain UTF-8 text. The fuzz harnesses build this
// file alone, where no toolkit is available.
#ifndef WIDGETKIT_XMLCORE_H
#define WIDGETKIT_XMLCORE_H

#include <libxml/tree.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlwriter.h>

#include <optional>
#include <string>

namespace widgetkit::xmlcore {

// Names of libxml2's node kinds (1 to 21), null for any other kind.
const char* NodeKindName(int kind);
// The reader's kinds: the node names, and its own for whitespace, end tags
// and the like; null when there is no current node.
const char* ReaderKindName(int kind);

// A whole value of optional sign and decimal digits that fits an int.
bool ParseDecimal(const char* text, int& out);
// Absent gives the default; exactly "0" is false; anything else true.
bool BoolFromValue(const char* value, bool def);
// Only blanks, tabs, carriage returns and line feeds (or nothing).
bool IsBlank(const xmlChar* text);

// A forward-only reader over one file, which it opens itself (a path is a
// path: never standard input or a URL).
class Reader
{
public:
    Reader() = default;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader() { Close(); }

    bool Open(const char* path);
    void Close();
    bool IsOpen() const { return m_reader != nullptr; }

    // 1 on a node, 0 at the end of the document, -1 on a parse error (and
    // from then on: the library would go on past it) or when closed;
    // comments and whitespace are passed over.
    int Read();
    int Next();

    int Kind() const;
    bool IsEmptyElement() const;
    const char* Name() const;
    std::optional<std::string> Attr(const char* name) const;
    // A text node's value; for an element, its text and CDATA below it in
    // document order (entity references are not expanded).
    std::string Text();

private:
    int Skip(int (*step)(xmlTextReaderPtr));

    xmlTextReaderPtr m_reader = nullptr;
    int m_fd = -1;
    bool m_failed = false;
};

// A parsed document and its root element.
class Document
{
public:
    Document() = default;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;
    ~Document();

    bool Open(const char* path);
    bool Parse(const char* data, size_t length);
    xmlNodePtr Root() const { return m_root; }

private:
    bool Take(xmlDocPtr doc);

    xmlDocPtr m_doc = nullptr;
    xmlNodePtr m_root = nullptr;
};

// A writer whose file replaces the one at the path only when it is closed
// and every byte reached the disk; until then the old file stays as it was.
class Writer
{
public:
    Writer() = default;
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer() { Close(); }

    bool Open(const char* path);
    // True when the file was written and put in place.
    bool Close();
    xmlTextWriterPtr Handle() const { return m_writer; }

private:
    void Discard();

    xmlTextWriterPtr m_writer = nullptr;
    xmlOutputBufferPtr m_out = nullptr; // owned by m_writer
    int m_fd = -1;
    std::string m_path;
    std::string m_temp;
};

// Tree navigation on nodes of a Document; null in, null out.
xmlNodePtr FirstElement(xmlNodePtr from);
unsigned ChildElementCount(const xmlNode* node);
std::optional<std::string> NodeAttr(const xmlNode* node, const char* name);
// The content of an element's one and only child when that is a text node.
const xmlChar* SoleText(const xmlNode* node);

} // namespace widgetkit::xmlcore

#endif

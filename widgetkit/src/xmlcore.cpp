#include "xmlcore.h"

#include <libxml/parser.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iterator>

#include <fcntl.h>
#include <unistd.h>

namespace widgetkit::xmlcore {

namespace {

const char* const kNodeKinds[] = {
    "element", "attribute", "text", "cdata", "entity ref", "entity", "processing instruction", "comment",
    "document", "document type", "document frag", "notation", "html document", "dtd", "element decl",
    "attribute decl", "entity decl", "namespace decl", "xinclude start", "xinclude end", "docb document",
};

// Local files only: no URL schemes, no "-" for standard input, no network.
constexpr int kParseOptions = XML_PARSE_NONET;

int OpenForReading(const char* path)
{
    if (path == nullptr || *path == '\0')
        return -1;
    return ::open(path, O_RDONLY | O_CLOEXEC);
}

bool IsSkipped(int kind)
{
    return kind == XML_READER_TYPE_COMMENT || kind == XML_READER_TYPE_WHITESPACE ||
           kind == XML_READER_TYPE_SIGNIFICANT_WHITESPACE;
}

} // namespace

const char* NodeKindName(int kind)
{
    if (kind < 1 || kind > static_cast<int>(std::size(kNodeKinds)))
        return nullptr;
    return kNodeKinds[kind - 1];
}

const char* ReaderKindName(int kind)
{
    switch (kind) {
    case XML_READER_TYPE_WHITESPACE:
        return "whitespace";
    case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
        return "significant whitespace";
    case XML_READER_TYPE_END_ELEMENT:
        return "end element";
    case XML_READER_TYPE_END_ENTITY:
        return "end entity";
    case XML_READER_TYPE_XML_DECLARATION:
        return "xml declaration";
    default:
        return kind <= XML_READER_TYPE_NOTATION ? NodeKindName(kind) : nullptr;
    }
}

bool ParseDecimal(const char* text, int& out)
{
    if (text == nullptr)
        return false;
    const char* p = text;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9')
        return false;
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (*p != '\0')
        return false;
    if (negative)
        value = -value;
    if (value > INT_MAX || value < INT_MIN)
        return false;
    out = static_cast<int>(value);
    return true;
}

bool BoolFromValue(const char* value, bool def)
{
    if (value == nullptr)
        return def;
    return std::strcmp(value, "0") != 0;
}

bool IsBlank(const xmlChar* text)
{
    if (text == nullptr)
        return true;
    for (; *text != '\0'; ++text)
        if (*text != ' ' && *text != '\t' && *text != '\r' && *text != '\n')
            return false;
    return true;
}

bool Reader::Open(const char* path)
{
    Close();
    m_fd = OpenForReading(path);
    if (m_fd < 0)
        return false;
    m_reader = xmlReaderForFd(m_fd, path, nullptr, kParseOptions);
    if (m_reader == nullptr) {
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    return true;
}

void Reader::Close()
{
    if (m_reader != nullptr)
        xmlFreeTextReader(m_reader);
    m_reader = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_failed = false;
}

int Reader::Skip(int (*step)(xmlTextReaderPtr))
{
    if (m_reader == nullptr || m_failed)
        return -1;
    int rc = step(m_reader);
    while (rc == 1 && IsSkipped(xmlTextReaderNodeType(m_reader)))
        rc = xmlTextReaderRead(m_reader);
    m_failed = rc < 0;
    return m_failed ? -1 : rc;
}

int Reader::Read()
{
    return Skip(xmlTextReaderRead);
}

int Reader::Next()
{
    return Skip(xmlTextReaderNext);
}

int Reader::Kind() const
{
    return m_reader != nullptr ? xmlTextReaderNodeType(m_reader) : -1;
}

bool Reader::IsEmptyElement() const
{
    return m_reader != nullptr && xmlTextReaderIsEmptyElement(m_reader) == 1;
}

const char* Reader::Name() const
{
    if (m_reader == nullptr)
        return nullptr;
    return reinterpret_cast<const char*>(xmlTextReaderConstName(m_reader));
}

std::optional<std::string> Reader::Attr(const char* name) const
{
    if (m_reader == nullptr || name == nullptr)
        return std::nullopt;
    xmlChar* value = xmlTextReaderGetAttribute(m_reader, BAD_CAST name);
    if (value == nullptr)
        return std::nullopt;
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

std::string Reader::Text()
{
    switch (Kind()) {
    case XML_READER_TYPE_TEXT:
    case XML_READER_TYPE_CDATA:
    case XML_READER_TYPE_WHITESPACE:
    case XML_READER_TYPE_SIGNIFICANT_WHITESPACE: {
        const xmlChar* value = xmlTextReaderConstValue(m_reader);
        return value != nullptr ? reinterpret_cast<const char*>(value) : "";
    }
    case XML_READER_TYPE_ELEMENT:
        break;
    default:
        return {};
    }
    if (IsEmptyElement())
        return {};
    xmlNodePtr top = xmlTextReaderExpand(m_reader);
    std::string text;
    if (top == nullptr)
        return text;
    // Iterative: the depth of a document is the parser's limit, not the stack's.
    xmlNodePtr node = top->children;
    while (node != nullptr) {
        if ((node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) && node->content != nullptr)
            text += reinterpret_cast<const char*>(node->content);
        if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
            node = node->children;
            continue;
        }
        while (node != nullptr && node != top && node->next == nullptr)
            node = node->parent;
        if (node == nullptr || node == top)
            break;
        node = node->next;
    }
    return text;
}

Document::~Document()
{
    if (m_doc != nullptr)
        xmlFreeDoc(m_doc);
}

bool Document::Take(xmlDocPtr doc)
{
    if (m_doc != nullptr)
        xmlFreeDoc(m_doc);
    m_doc = doc;
    m_root = doc != nullptr ? xmlDocGetRootElement(doc) : nullptr;
    if (m_root == nullptr && m_doc != nullptr) {
        xmlFreeDoc(m_doc);
        m_doc = nullptr;
    }
    return m_root != nullptr;
}

bool Document::Open(const char* path)
{
    int fd = OpenForReading(path);
    if (fd < 0)
        return Take(nullptr);
    xmlDocPtr doc = xmlReadFd(fd, path, nullptr, kParseOptions);
    ::close(fd);
    return Take(doc);
}

bool Document::Parse(const char* data, size_t length)
{
    if (data == nullptr || length > static_cast<size_t>(INT_MAX))
        return Take(nullptr);
    return Take(xmlReadMemory(data, static_cast<int>(length), nullptr, "UTF-8", kParseOptions));
}

bool Writer::Open(const char* path)
{
    Close();
    if (path == nullptr || *path == '\0')
        return false;
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        m_temp = std::string(path) + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
        m_fd = ::open(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd < 0 && errno != EEXIST)
            break;
    }
    if (m_fd < 0)
        return false;
    m_path = path;
    // The buffer leaves the descriptor open: it is closed here, after fsync.
    m_out = xmlOutputBufferCreateFd(m_fd, nullptr);
    if (m_out != nullptr) {
        m_writer = xmlNewTextWriter(m_out);
        if (m_writer == nullptr)
            xmlOutputBufferClose(m_out);
    }
    if (m_writer == nullptr || xmlTextWriterSetIndent(m_writer, 1) < 0 ||
        xmlTextWriterSetIndentString(m_writer, BAD_CAST "  ") < 0) {
        Discard();
        return false;
    }
    return true;
}

void Writer::Discard()
{
    if (m_writer != nullptr)
        xmlFreeTextWriter(m_writer);
    m_writer = nullptr;
    m_out = nullptr;
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_temp.c_str());
    }
    m_fd = -1;
}

bool Writer::Close()
{
    if (m_writer == nullptr)
        return false;
    bool ok = xmlTextWriterFlush(m_writer) >= 0 && m_out->error == 0;
    xmlFreeTextWriter(m_writer);
    m_writer = nullptr;
    m_out = nullptr;
    ok = ::fsync(m_fd) == 0 && ok;
    ok = ::close(m_fd) == 0 && ok;
    m_fd = -1;
    if (!ok || ::rename(m_temp.c_str(), m_path.c_str()) != 0) {
        ::unlink(m_temp.c_str());
        return false;
    }
    return true;
}

xmlNodePtr FirstElement(xmlNodePtr from)
{
    while (from != nullptr && from->type != XML_ELEMENT_NODE)
        from = from->next;
    return from;
}

unsigned ChildElementCount(const xmlNode* node)
{
    unsigned count = 0;
    if (node == nullptr)
        return count;
    for (const xmlNode* child = node->children; child != nullptr; child = child->next)
        count += child->type == XML_ELEMENT_NODE;
    return count;
}

std::optional<std::string> NodeAttr(const xmlNode* node, const char* name)
{
    if (node == nullptr || name == nullptr || node->type != XML_ELEMENT_NODE)
        return std::nullopt;
    xmlChar* value = xmlGetProp(node, BAD_CAST name);
    if (value == nullptr)
        return std::nullopt;
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

const xmlChar* SoleText(const xmlNode* node)
{
    if (node == nullptr || node->type != XML_ELEMENT_NODE)
        return nullptr;
    const xmlNode* child = node->children;
    if (child == nullptr || child->next != nullptr || child->type != XML_TEXT_NODE)
        return nullptr;
    return child->content != nullptr ? child->content : BAD_CAST "";
}

} // namespace widgetkit::xmlcore

// The XML tree parser over any text, then a walk over every node with the
// navigation, attribute and text rules the node handles use.
#include "xmlcore.h"

#include <libxml/xmlerror.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace xc = widgetkit::xmlcore;

namespace {

void Quiet(void*, const char*, ...) {}

// A successful decimal parse must agree with the C library's.
void CheckDecimal(const std::string& text)
{
    int value = 0;
    if (!xc::ParseDecimal(text.c_str(), value))
        return;
    errno = 0;
    char* end = nullptr;
    const long long expected = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || expected != value || text.empty() || text[0] == ' ')
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    xmlSetGenericErrorFunc(nullptr, Quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    xc::Document doc;
    if (!doc.Parse(reinterpret_cast<const char*>(data), size))
        return 0;
    xmlNodePtr root = doc.Root();
    if (root == nullptr || root->type != XML_ELEMENT_NODE)
        __builtin_trap();
    // Iterative, as deep as the parser allows.
    for (xmlNodePtr node = root; node != nullptr;) {
        if (xc::NodeKindName(node->type) == nullptr)
            __builtin_trap();
        if (node->type == XML_TEXT_NODE)
            (void)xc::IsBlank(node->content);
        if (node->type == XML_ELEMENT_NODE) {
            unsigned elements = 0;
            for (xmlNodePtr child = xc::FirstElement(node->children); child != nullptr;
                 child = xc::FirstElement(child->next))
                ++elements;
            if (elements != xc::ChildElementCount(node))
                __builtin_trap();
            for (xmlAttrPtr attr = node->properties; attr != nullptr; attr = attr->next) {
                const auto value = xc::NodeAttr(node, reinterpret_cast<const char*>(attr->name));
                if (value)
                    CheckDecimal(*value);
            }
            (void)xc::SoleText(node);
        }
        if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
            node = node->children;
            continue;
        }
        while (node != nullptr && node != root && node->next == nullptr)
            node = node->parent;
        node = node == root || node == nullptr ? nullptr : node->next;
    }
    return 0;
}

// The toolkit's xml library and ours both have a wxXmlNode: in one program
// each name must reach its own code, at compile, link and load time.
#include <widgetkit/xml.h>
#include <wx/sstream.h>
#include <wx/xml/xml.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <regex>
#include <string>

namespace {

std::string LibraryOf(const char* symbol)
{
    void* address = dlsym(RTLD_DEFAULT, symbol);
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr)
        return {};
    return info.dli_fname;
}

TEST(XmlNameClash, EachNodeClassResolvesToItsOwnLibrary)
{
    wxStringInputStream input("<theirs kind='toolkit'/>");
    wxXmlDocument theirs(input);
    ASSERT_TRUE(theirs.IsOk());
    ::wxXmlNode* theirRoot = theirs.GetRoot();
    EXPECT_EQ(theirRoot->GetType(), wxXML_ELEMENT_NODE);
    EXPECT_EQ(theirRoot->GetName(), "theirs");

    wxXmlTree tree;
    ASSERT_TRUE(tree.Parse("<ours kind='widgetkit'/>"));
    const widgetkit::wxXmlNode ourRoot = tree.GetRoot();
    EXPECT_EQ(ourRoot.GetType(), "element");
    EXPECT_EQ(ourRoot.GetAttr("kind"), "widgetkit");

    // As the dynamic linker sees them: the toolkit's class and its type
    // information in its xml library, ours in widgetkit, and no global
    // wxXmlNode member anywhere that would be ours.
    const std::string toolkit = LibraryOf("_ZNK9wxXmlNode12HasAttributeERK8wxString");
    EXPECT_NE(toolkit.find("libwx_baseu_xml"), std::string::npos) << toolkit;
    EXPECT_EQ(LibraryOf("_ZTI9wxXmlNode"), toolkit);
    const std::string own = LibraryOf("_ZNK9widgetkit9wxXmlNode7HasAttrERK8wxString");
    EXPECT_NE(own.find("libwidgetkit"), std::string::npos) << own;
    EXPECT_EQ(LibraryOf("_ZNK9widgetkit9wxXmlNode7GetTypeEv"), own);
    for (const char* global : {"_ZNK9wxXmlNode7HasAttrERK8wxString", "_ZNK9wxXmlNode7GetTypeEv"})
        EXPECT_EQ(LibraryOf(global), "") << global;
}

TEST(XmlNameClash, LibraryExportsNoGlobalNodeSymbol)
{
    const std::string library = LibraryOf("_ZNK9widgetkit9wxXmlNode7GetTypeEv");
    ASSERT_FALSE(library.empty());
    FILE* nm = popen(("nm -D --defined-only '" + library + "'").c_str(), "r");
    ASSERT_NE(nm, nullptr);
    // Members, vtable, type info and its name of a global wxXmlNode.
    const std::regex global(" _Z(NK?|T[VIS])9wxXmlNode");
    int ours = 0;
    char line[4096];
    while (fgets(line, sizeof line, nm) != nullptr) {
        EXPECT_FALSE(std::regex_search(line, global)) << line;
        ours += std::string(line).find("9widgetkit9wxXmlNode") != std::string::npos;
    }
    EXPECT_EQ(pclose(nm), 0);
    EXPECT_GT(ours, 10) << "nm listed the library's own node functions";
}

} // namespace

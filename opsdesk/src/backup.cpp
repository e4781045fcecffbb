#include "backup.h"

#include <basekit.h>

#include <libxml/xmlreader.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include <fcntl.h>
#include <locale.h>
#include <unistd.h>

namespace {

std::string Identity(const char* text)
{
    return text;
}

BackupTranslator g_translate = &Identity;

std::string Tr(const char* text)
{
    return g_translate(text);
}

// The reader's strings belong to the caller; null becomes "".
std::string Take(xmlChar* text)
{
    if (!text)
        return {};
    std::string s(reinterpret_cast<const char*>(text));
    xmlFree(text);
    return s;
}

std::string Attribute(xmlTextReaderPtr reader, const char* name, bool* present = nullptr)
{
    xmlChar* text = xmlTextReaderGetAttribute(reader, reinterpret_cast<const xmlChar*>(name));
    if (present)
        *present = text != nullptr;
    return Take(text);
}

std::string Name(xmlTextReaderPtr reader)
{
    const xmlChar* name = xmlTextReaderConstName(reader);
    return name ? reinterpret_cast<const char*>(name) : "";
}

bool Skipped(int type)
{
    return type == XML_READER_TYPE_COMMENT || type == XML_READER_TYPE_WHITESPACE ||
           type == XML_READER_TYPE_SIGNIFICANT_WHITESPACE;
}

// Parse failures are reported through the result codes, not on stderr.
constexpr int kReaderOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

void IgnoreXmlMessage(void*, const char*, ...)
{
}

// Some failures (text that does not convert from its declared encoding, for
// one) reach libxml2's generic error channel whatever the reader's options.
// While this lives they go nowhere; the setting is the calling thread's.
class QuietXml
{
public:
    QuietXml() : m_function(xmlGenericError), m_context(xmlGenericErrorContext)
    {
        xmlSetGenericErrorFunc(nullptr, &IgnoreXmlMessage);
    }
    ~QuietXml() { xmlSetGenericErrorFunc(m_context, m_function); }
    QuietXml(const QuietXml&) = delete;
    QuietXml& operator=(const QuietXml&) = delete;

private:
    xmlGenericErrorFunc m_function;
    void* m_context;
};

struct ReaderDeleter
{
    void operator()(xmlTextReader* reader) const { xmlFreeTextReader(reader); }
};
using Reader = std::unique_ptr<xmlTextReader, ReaderDeleter>;

int ReadFromFile(void* context, char* buffer, int length)
{
    std::FILE* file = static_cast<std::FILE*>(context);
    const size_t n = std::fread(buffer, 1, static_cast<size_t>(length), file);
    if (n == 0 && std::ferror(file))
        return -1;
    return static_cast<int>(n);
}

locale_t CLocale()
{
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return c;
}

// The text with its "%d" replaced by n; a translation is never used as a
// printf format.
std::string WithNumber(std::string text, int n)
{
    const size_t at = text.find("%d");
    if (at != std::string::npos)
        text.replace(at, 2, std::to_string(n));
    return text;
}

bool Print(std::FILE* file, const std::string& text)
{
    return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

// A new file beside path that nobody else writes: created exclusively, so
// that a file of that name left by a process that was killed, or placed
// there by someone else, is never written through.
std::FILE* CreateTemporary(const std::string& path, std::string& name)
{
    ux_remove_stale_temporaries((path + ".tmp").c_str());
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return nullptr;
        }
        if (std::FILE* file = fdopen(fd, "wb"))
            return file;
        ::close(fd);
        std::remove(name.c_str());
        return nullptr;
    }
    return nullptr;
}

// Makes a rename in the file's folder last through a power failure; the
// data is safe already when this fails.
void SyncFolder(const std::string& path)
{
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        ::close(fd);
    }
}

} // namespace

void SetBackupTranslator(BackupTranslator translator)
{
    g_translate = translator ? translator : &Identity;
}

std::string FormatBackupValue(double value)
{
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 6);
    return std::string(text, r.ptr);
}

double ParseBackupValue(const char* text)
{
    return strtod_l(text, nullptr, CLocale());
}

std::string EscapeBackupAttribute(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        // A reader turns raw tabs and line ends in attributes into spaces.
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default:
            // Other control characters cannot appear in XML 1.0 at all.
            if (static_cast<unsigned char>(c) >= 0x20)
                out += c;
        }
    }
    return out;
}

bool BackupValuesEqual(double backup, double current)
{
    // Units in the last place: the float's bits as a magnitude, negative
    // below zero, so that -0 and +0 meet and values near zero on both sides
    // are as far apart as the steps between them.
    const auto ordered = [](double value) -> int64_t {
        const float f = static_cast<float>(value);
        int32_t i;
        std::memcpy(&i, &f, sizeof i);
        return i >= 0 ? int64_t{i} : -int64_t{i & 0x7fffffff};
    };
    const int64_t difference = ordered(backup) - ordered(current);
    return difference <= 160 && difference >= -160;
}

const std::string& BackupData::EffectiveFlag(const BackupValue& value) const
{
    return value.flag.empty() ? defaultFlag : value.flag;
}

std::string BackupData::DisplayName(const BackupValue& value) const
{
    const std::string& flag = EffectiveFlag(value);
    return flag.empty() ? value.address : value.address + ":" + flag;
}

size_t BackupData::CountIncluded() const
{
    size_t n = 0;
    for (const BackupGroup& group : groups)
        if (group.include)
            n += group.values.size();
    return n;
}

int BackupData::Fail(int code, const std::string& text)
{
    error = text;
    return code;
}

int BackupData::Load(const std::string& path, std::string* openFailure)
{
    hardware.clear();
    device.clear();
    defaultFlag.clear();
    groups.clear();
    uxerror_t* failure = nullptr;
    std::FILE* file = ux_fopen(path.c_str(), "rb", &failure);
    if (!file) {
        if (openFailure)
            *openFailure = failure && uxerror_message(failure) ? uxerror_message(failure) : std::strerror(errno);
        uxerror_free(failure);
        return BACKUP_CANNOT_OPEN;
    }
    const QuietXml quiet;
    Reader reader(xmlReaderForIO(&ReadFromFile, nullptr, file, path.c_str(), nullptr, kReaderOptions));
    if (!reader && openFailure)
        *openFailure = std::strerror(ENOMEM);
    const int result = reader ? Read(reader.get()) : BACKUP_CANNOT_OPEN;
    reader.reset();
    std::fclose(file);
    return result;
}

int BackupData::LoadMemory(const char* data, size_t size)
{
    hardware.clear();
    device.clear();
    defaultFlag.clear();
    groups.clear();
    if (size > static_cast<size_t>(INT32_MAX))
        return Fail(BACKUP_PARSER_ERROR, Tr("Parser error"));
    const QuietXml quiet;
    Reader reader(xmlReaderForMemory(data, static_cast<int>(size), nullptr, nullptr, kReaderOptions));
    if (!reader)
        return Fail(BACKUP_PARSER_ERROR, Tr("Parser error"));
    return Read(reader.get());
}

int BackupData::Next(void* handle)
{
    const int r = xmlTextReaderRead(static_cast<xmlTextReaderPtr>(handle));
    if (r < 0)
        return Fail(BACKUP_PARSER_ERROR, Tr("Parser error"));
    if (r == 0)
        return Fail(BACKUP_UNEXPECTED_EOF, Tr("Unexpected end-of-file"));
    return BACKUP_OK;
}

int BackupData::NextSignificant(void* handle, int* type)
{
    for (;;) {
        if (const int r = Next(handle); r != BACKUP_OK)
            return r;
        *type = xmlTextReaderNodeType(static_cast<xmlTextReaderPtr>(handle));
        if (!Skipped(*type))
            return BACKUP_OK;
    }
}

int BackupData::Read(void* handle)
{
    xmlTextReaderPtr reader = static_cast<xmlTextReaderPtr>(handle);
    // Before the root element.
    for (;;) {
        if (const int r = Next(reader); r != BACKUP_OK)
            return r;
        if (xmlTextReaderNodeType(reader) != XML_READER_TYPE_ELEMENT)
            continue;
        const std::string name = Name(reader);
        if (name != "plexord-backup")
            return Fail(BACKUP_UNEXPECTED_ELEMENT, Tr("Unexpected root element: ") + name);
        break;
    }
    device = Attribute(reader, "device");
    hardware = Attribute(reader, "hw");
    defaultFlag = Attribute(reader, "defaultflag");
    // A self-closing root never gets its end element, which reads as a file
    // that ended early.
    for (;;) {
        int type = 0;
        if (const int r = NextSignificant(reader, &type); r != BACKUP_OK)
            return r;
        const std::string name = Name(reader);
        if (type == XML_READER_TYPE_ELEMENT) {
            if (name != "group")
                return Fail(BACKUP_UNEXPECTED_ELEMENT, Tr("Unexpected element in <plexord-backup>: ") + name);
            BackupGroup group;
            group.name = Attribute(reader, "name");
            if (!xmlTextReaderIsEmptyElement(reader)) {
                const int g = ReadGroup(reader, group);
                if (g != BACKUP_OK)
                    return g;
            }
            groups.push_back(std::move(group));
        } else if (type == XML_READER_TYPE_END_ELEMENT) {
            if (name != "plexord-backup")
                return Fail(BACKUP_UNEXPECTED_CLOSING, Tr("Unexpected closing element: ") + name);
            return BACKUP_OK;
        } else {
            return Fail(BACKUP_UNEXPECTED_NODE, WithNumber(Tr("Unexpected node type in <plexord-backup>: %d\n"), type));
        }
    }
}

int BackupData::ReadGroup(void* handle, BackupGroup& group)
{
    xmlTextReaderPtr reader = static_cast<xmlTextReaderPtr>(handle);
    for (;;) {
        int type = 0;
        if (const int r = NextSignificant(reader, &type); r != BACKUP_OK)
            return r;
        const std::string name = Name(reader);
        if (type == XML_READER_TYPE_END_ELEMENT) {
            if (name != "group")
                return Fail(BACKUP_UNEXPECTED_CLOSING, Tr("Unexpected closing element: ") + name);
            return BACKUP_OK;
        }
        if (type != XML_READER_TYPE_ELEMENT)
            return Fail(BACKUP_UNEXPECTED_NODE, WithNumber(Tr("Unexpected node type in <group>: %d\n"), type));
        if (name != "sp")
            return Fail(BACKUP_UNEXPECTED_ELEMENT, Tr("Unexpected element in group: ") + name);

        BackupValue value;
        bool present = false;
        const std::string a = Attribute(reader, "a", &present);
        if (!present)
            return Fail(BACKUP_MISSING_ADDRESS, Tr("Missing attribute \"a\" in <sp> element"));
        const size_t colon = a.rfind(':');
        if (colon == std::string::npos) {
            value.address = a;
        } else {
            value.address = a.substr(0, colon);
            value.flag = a.substr(colon + 1);
        }
        const std::string f = Attribute(reader, "f", &present);
        if (present)
            value.flag = f;
        const std::string v = Attribute(reader, "v", &present);
        if (present) {
            value.hasValue = true;
            value.value = ParseBackupValue(v.c_str());
        }
        if (!xmlTextReaderIsEmptyElement(reader)) {
            // Whatever the element holds is passed over, up to its own end.
            const int depth = xmlTextReaderDepth(reader);
            for (;;) {
                if (const int r = Next(reader); r != BACKUP_OK)
                    return r;
                if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_END_ELEMENT && xmlTextReaderDepth(reader) == depth)
                    break;
            }
        }
        group.values.push_back(std::move(value));
    }
}

int BackupData::Save(const std::string& path)
{
    // An existing folder of that name cannot become the file; and an empty
    // path must not turn into a file named after the temporary suffix.
    std::error_code ec;
    if (path.empty() || std::filesystem::is_directory(path, ec))
        return BACKUP_CANNOT_OPEN;
    std::string temporary;
    std::FILE* file = CreateTemporary(path, temporary);
    if (!file)
        return BACKUP_CANNOT_OPEN;

    bool ok = Print(file, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
    std::string root = "<plexord-backup device=\"" + EscapeBackupAttribute(device) + "\" hw=\"" +
                       EscapeBackupAttribute(hardware) + "\"";
    if (!defaultFlag.empty())
        root += " defaultflag=\"" + EscapeBackupAttribute(defaultFlag) + "\"";
    ok = ok && Print(file, root + ">\n");
    for (const BackupGroup& group : groups) {
        if (!ok)
            break;
        if (!group.include)
            continue;
        ok = Print(file, " <group name=\"" + EscapeBackupAttribute(group.name) + "\">\n");
        for (const BackupValue& value : group.values) {
            if (!ok)
                break;
            std::string line = "  <sp a=\"" + EscapeBackupAttribute(value.address) + "\"";
            const std::string& flag = EffectiveFlag(value);
            if (!flag.empty())
                line += " f=\"" + EscapeBackupAttribute(flag) + "\"";
            if (value.hasValue && ncerr_is_ok(value.status))
                line += " v=\"" + FormatBackupValue(value.value) + "\"/>\n";
            else
                line += " status=\"" + EscapeBackupAttribute(ncerr_get_string(value.status)) + "\"/>\n";
            ok = Print(file, line);
        }
        ok = ok && Print(file, " </group>\n");
    }
    ok = ok && Print(file, "</plexord-backup>\n");
    ok = ok && std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    ok = (std::fclose(file) == 0) && ok;
    if (ok && std::rename(temporary.c_str(), path.c_str()) == 0) {
        SyncFolder(path);
        return BACKUP_OK;
    }
    const std::string reason = std::strerror(errno);
    std::remove(temporary.c_str());
    return Fail(BACKUP_WRITE_FAILED, Tr("Failed to write the backup file: ") + reason);
}

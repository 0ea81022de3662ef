// Writes the resource sources of the kernel image from the driver's own resource data
// (resources/resources.cpp), so that the message table the event viewer reads from lmscr.sys and
// the one the emulation shows cannot drift apart:
//   events.mc      the message compiler's source: one message per MessageTable entry;
//   version.rc     the VERSIONINFO block of VersionBlock;
//   expected.json  the same data for the image's tests (tests/sys), to find it again in lmscr.sys.
// A host program: it links the same resources.cpp that goes into the image.
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "resources.h"

namespace {

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "resgen: %s\n", what.c_str());
    std::exit(1);
}

void Write(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) Fail("cannot write " + path);
    std::fwrite(text.data(), 1, text.size(), f);
    if (std::fclose(f) != 0) Fail("cannot write " + path);
}

std::string Hex(unsigned value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%0*X", digits, value);
    return buffer;
}

// The text of one message in the message compiler's syntax: each line of the text on its own
// line, a percent sign doubled (the event viewer formats the text and turns %% back into %), and
// %0 where the text does not end with a line end (formatting stops there).
std::string MessageBody(const std::string& symbol, const char* text) {
    std::string t = text, out;
    bool ends_with_line_end = t.size() >= 2 && t.compare(t.size() - 2, 2, "\r\n") == 0;
    size_t at = 0;
    while (at < t.size()) {
        size_t end = t.find("\r\n", at);
        if (end == std::string::npos) end = t.size();
        std::string line(t, at, end - at);
        if (line == ".") Fail(symbol + ": a line of only a dot would end the message");
        for (char c : line) {
            if (c == '\n' || c == '\r') Fail(symbol + ": a line end other than CR LF");
            out += c;
            if (c == '%') out += '%';
        }
        at = end + 2;
        if (at < t.size() || ends_with_line_end) out += '\n';
    }
    if (!ends_with_line_end) out += "%0\n";
    return out;
}

std::string RcString(const char* s) {
    std::string out = "\"";
    for (const char* p = s; *p; ++p) {
        if (*p == '"') out += "\"\"";
        else if (*p == '\\') out += "\\\\";
        else if (static_cast<unsigned char>(*p) < 0x20) Fail("control character in a version string");
        else out += *p;
    }
    return out + "\"";
}

std::string MessageCompilerSource() {
    std::string mc =
        "; The driver's event messages, written by resgen from resources/resources.cpp.\n"
        "MessageIdTypedef=NTSTATUS\n"
        "SeverityNames=(Success=0x0:STATUS_SEVERITY_SUCCESS\n"
        "               Informational=0x1:STATUS_SEVERITY_INFORMATIONAL\n"
        "               Warning=0x2:STATUS_SEVERITY_WARNING\n"
        "               Error=0x3:STATUS_SEVERITY_ERROR)\n";
    // the facilities by number: the codes carry no names for them
    std::set<unsigned> numbers;
    for (ULONG i = 0; i < MessageTableEntries; ++i) numbers.insert((MessageTable[i].Code >> 16) & 0xFFF);
    std::string facilities;
    for (unsigned facility : numbers)
        facilities += (facilities.empty() ? "" : "\n              ") + std::string("Facility") +
                      Hex(facility, 3).substr(2) + "=" + Hex(facility, 3);
    mc += "FacilityNames=(" + facilities + ")\n";
    mc += "LanguageNames=(English=0x409:MSG00409)\n";
    static const char* const severities[] = {"Success", "Informational", "Warning", "Error"};
    for (ULONG i = 0; i < MessageTableEntries; ++i) {
        const MESSAGE_TABLE_ENTRY& m = MessageTable[i];
        if (m.Code & 0x30000000) Fail(std::string(m.Symbol) + ": customer or reserved bit set");
        mc += "\nMessageId=" + Hex(m.Code & 0xFFFF, 4) + "\n";
        mc += "Severity=" + std::string(severities[m.Code >> 30]) + "\n";
        mc += "Facility=Facility" + Hex((m.Code >> 16) & 0xFFF, 3).substr(2) + "\n";
        mc += "SymbolicName=" + std::string(m.Symbol) + "\n";
        mc += "Language=English\n" + MessageBody(m.Symbol, m.Text) + ".\n";
    }
    // windmc keeps a text line's end as the file has it, and the event log's texts end their
    // lines with CR LF: so does every line of the file.
    std::string crlf;
    for (char c : mc) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return crlf;
}

std::string VersionSource() {
    const VERSION_BLOCK& v = VersionBlock;
    std::string translation = v.Translation;
    if (translation.size() != 8) Fail("the translation is not eight hex digits: " + translation);
    unsigned language = std::strtoul(translation.substr(0, 4).c_str(), nullptr, 16);
    unsigned codepage = std::strtoul(translation.substr(4).c_str(), nullptr, 16);
    auto four = [](const USHORT* f) {
        return std::to_string(f[0]) + "," + std::to_string(f[1]) + "," + std::to_string(f[2]) + "," +
               std::to_string(f[3]);
    };
    std::string rc =
        "// The driver's version block, written by resgen from resources/resources.cpp.\n"
        "1 VERSIONINFO\n"
        "FILEVERSION " + four(v.FileVersion) + "\n"
        "PRODUCTVERSION " + four(v.ProductVersion) + "\n"
        "FILEFLAGSMASK 0x3F\n"
        "FILEFLAGS 0x0\n"
        "FILEOS 0x40004\n"       // VOS_NT_WINDOWS32
        "FILETYPE 0x3\n"         // VFT_DRV
        "FILESUBTYPE 0x7\n"      // VFT2_DRV_SYSTEM
        "BEGIN\n"
        "  BLOCK \"StringFileInfo\"\n"
        "  BEGIN\n"
        "    BLOCK " + RcString(v.Translation) + "\n"
        "    BEGIN\n";
    for (ULONG i = 0; i < v.StringCount; ++i)
        rc += "      VALUE " + RcString(v.Strings[i].Name) + ", " + RcString(v.Strings[i].Value) + "\n";
    rc += "    END\n"
          "  END\n"
          "  BLOCK \"VarFileInfo\"\n"
          "  BEGIN\n"
          "    VALUE \"Translation\", " + Hex(language, 4) + ", " + Hex(codepage, 4) + "\n"
          "  END\n"
          "END\n";
    return rc;
}

std::string JsonString(const char* s) {
    std::string out = "\"";
    for (const char* p = s; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') out += std::string("\\") + *p;
        else if (c < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else out += *p;
    }
    return out + "\"";
}

std::string Expected() {
    const VERSION_BLOCK& v = VersionBlock;
    std::string json = "{\n  \"messages\": [\n";
    for (ULONG i = 0; i < MessageTableEntries; ++i)
        json += "    {\"id\": " + std::to_string(MessageTable[i].Code) + ", \"symbol\": " +
                JsonString(MessageTable[i].Symbol) + ", \"text\": " + JsonString(MessageTable[i].Text) +
                (i + 1 < MessageTableEntries ? "},\n" : "}\n");
    json += "  ],\n  \"file_version\": [";
    for (int i = 0; i < 4; ++i) json += std::to_string(v.FileVersion[i]) + (i < 3 ? ", " : "");
    json += "],\n  \"product_version\": [";
    for (int i = 0; i < 4; ++i) json += std::to_string(v.ProductVersion[i]) + (i < 3 ? ", " : "");
    json += "],\n  \"translation\": " + JsonString(v.Translation) + ",\n  \"strings\": {";
    for (ULONG i = 0; i < v.StringCount; ++i)
        json += std::string(i ? ", " : "") + JsonString(v.Strings[i].Name) + ": " + JsonString(v.Strings[i].Value);
    return json + "}\n}\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) Fail("usage: resgen OUTPUT-FOLDER");
    std::string dir = argv[1];
    Write(dir + "/events.mc", MessageCompilerSource());
    Write(dir + "/version.rc", VersionSource());
    Write(dir + "/expected.json", Expected());
    return 0;
}

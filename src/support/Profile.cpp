// INI-style files read with SimpleIni and written by a line editor of our own.
#include "Profile.h"

#include "HexStr.h"

// Only the narrow, byte-for-byte instantiation is used: no wide-character
// conversion, so values come back exactly as the file holds them. Debian's
// header keeps the template bodies behind SI_IMPLEMENTATION; instantiating
// them here spares a link against the ICU-based library build.
#define SI_NO_CONVERSION
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

// Reading goes through SimpleIni. Writing does not: SimpleIni saves a file by
// regenerating it from its parsed model, which loses blank lines, comments
// after the last entry and the operator's spacing, and merges repeated
// sections. A write therefore edits the file's lines directly, locating the
// section and key by the same rules that SimpleIni applies when reading.

namespace {

// Case-insensitive (ASCII) names, one entry per key line so that the first of
// repeated keys can be found, no multi-line values, quotes left in place.
using IniFile = CSimpleIniA;

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";

bool load(const std::string& path, IniFile& ini)
{
    ini.SetUnicode(false);
    ini.SetMultiKey(true);
    ini.SetMultiLine(false);
    ini.SetQuotes(false);
    ini.SetAllowKeyOnly(false);
    return ini.LoadFile(path.c_str()) >= 0;
}

// The entry of `key` that comes first in the file, or none.
const char* firstValue(const IniFile::TKeyVal& keys, const std::string& key)
{
    const auto [first, last] = keys.equal_range(IniFile::Entry(key.c_str()));
    const char* value = nullptr;
    int order = 0;
    for (auto it = first; it != last; ++it) {
        if (value == nullptr || it->first.nOrder < order) {
            value = it->second;
            order = it->first.nOrder;
        }
    }
    return value;
}

// A private-profile read drops one pair of matching quotes around the value.
std::string unquote(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return std::string(value.substr(1, value.size() - 2));
    return std::string(value);
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool sameName(std::string_view a, std::string_view b)
{
    return upperStr(a) == upperStr(b);
}

bool hasLineBreakOrNul(std::string_view text)
{
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// One line of the file: its text is [begin, end), its line end [end, next).
struct Line {
    size_t begin = 0;
    size_t end = 0;
    size_t next = 0;
};

// CR LF, LF and a lone CR all end a line, as they do for the reader.
std::vector<Line> splitLines(std::string_view text, size_t from)
{
    std::vector<Line> lines;
    size_t at = from;
    while (at < text.size()) {
        Line line;
        line.begin = at;
        while (at < text.size() && text[at] != '\r' && text[at] != '\n')
            ++at;
        line.end = at;
        if (at < text.size())
            at += (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ? 2 : 1;
        line.next = at;
        lines.push_back(line);
    }
    return lines;
}

enum class LineKind { Other, Section, BadSection, Entry };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    std::string_view name;  // section name or key
    size_t valueOffset = 0; // for an entry: where its value starts within the line
};

// What follows the "[" of a section header, on its line or, when nothing
// does, on the next line that is not blank.
ParsedLine parseSectionName(std::string_view text)
{
    ParsedLine parsed;
    const size_t close = text.find(']');
    if (close == std::string_view::npos) {
        // The reader puts the entries after it in no section that can be named.
        parsed.kind = LineKind::BadSection;
        return parsed;
    }
    parsed.kind = LineKind::Section;
    parsed.name = trim(text.substr(0, close));
    return parsed;
}

ParsedLine parseLine(std::string_view text)
{
    ParsedLine parsed;
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos || text[start] == ';' || text[start] == '#')
        return parsed;
    if (text[start] == '[')
        return parseSectionName(text.substr(start + 1));
    const size_t equals = text.find('=', start);
    if (equals == std::string_view::npos || equals == start)
        return parsed;
    parsed.kind = LineKind::Entry;
    parsed.name = trim(text.substr(start, equals - start));
    const size_t value = text.find_first_not_of(" \t", equals + 1);
    parsed.valueOffset = value != std::string_view::npos ? value : equals + 1;
    return parsed;
}

std::optional<std::string> readWholeFile(const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return std::nullopt;
    std::string bytes;
    char buffer[8192];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        return std::nullopt;
    return bytes;
}

// The file a path names, through any symbolic links, so that replacing it
// keeps the link; the path itself when it names nothing yet.
std::string realFile(const std::string& path)
{
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return path;
    std::string resolved(real);
    std::free(real);
    return resolved;
}

void syncDirectoryOf(const std::string& file)
{
    const std::filesystem::path parent = std::filesystem::path(file).parent_path();
    const int fd = ::open(parent.empty() ? "." : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd); // some file systems cannot: the rename has happened all the same
    ::close(fd);
}

// Replaces the file whole: the bytes go to a new file beside it, which is
// synced and then renamed over the old one. A crash or a full disk leaves the
// old file or the new one, never a file cut short. The old file's permissions
// (and owner, where allowed) carry over, unless `fixedMode` gives them.
bool replaceFile(const std::string& path, std::string_view bytes, std::string& error, int fixedMode = -1)
{
    const std::string target = realFile(path);
    const std::string temp = target + ".new";
    struct stat old {};
    const bool hadOld = ::stat(target.c_str(), &old) == 0;
    const mode_t mode = fixedMode >= 0 ? static_cast<mode_t>(fixedMode) : hadOld ? (old.st_mode & 07777) : 0666;

    ::unlink(temp.c_str()); // left over when an earlier write was cut off
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        error = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    auto fail = [&](const char* what) {
        error = std::string(what) + " " + temp + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        ::unlink(temp.c_str());
        return false;
    };
    if (hadOld || fixedMode >= 0) {
        if (::fchmod(fd, mode) != 0) // the umask took bits away
            return fail("cannot set the permissions of");
    }
    if (hadOld) {
        [[maybe_unused]] const int ignored = ::fchown(fd, old.st_uid, old.st_gid);
    }
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fail("cannot write");
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0)
        return fail("cannot sync");
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        return fail("cannot close");
    if (::rename(temp.c_str(), target.c_str()) != 0)
        return fail("cannot rename");
    syncDirectoryOf(target);
    return true;
}

// Names that would not read back as the same section or key once written.
bool isWritableSection(std::string_view section)
{
    return !section.empty() && trim(section) == section && !hasLineBreakOrNul(section) &&
           section.find(']') == std::string_view::npos;
}

// Sets one key in the file's text, as writeString describes.
void setEntry(std::string& text, const std::string& section, const std::string& key, const std::string& value)
{
    const size_t from = text.starts_with(UTF8_BOM) ? UTF8_BOM.size() : 0;
    const std::vector<Line> lines = splitLines(text, from);

    std::string lineEnd = "\r\n";
    for (const Line& line : lines) {
        if (line.next > line.end) {
            lineEnd = text.substr(line.end, line.next - line.end);
            break;
        }
    }

    auto lineText = [&text, &lines](size_t i) {
        return std::string_view(text).substr(lines[i].begin, lines[i].end - lines[i].begin);
    };
    bool inSection = false;            // inside a section of that name
    bool inFirst = false;              // inside the first of them, where a new key goes
    std::optional<size_t> insertAfter; // that section's last entry, or its header
    std::optional<size_t> openAtEnd;   // a "[" with only blank lines after it
    for (size_t i = 0; i < lines.size(); ++i) {
        ParsedLine parsed = parseLine(lineText(i));
        if (parsed.kind == LineKind::BadSection && trim(lineText(i)) == "[") {
            // The reader takes line ends after a lone "[" for blanks: the
            // section's name is on the next line that is not blank.
            size_t next = i + 1;
            while (next < lines.size() && trim(lineText(next)).empty())
                ++next;
            if (next == lines.size()) {
                openAtEnd = i;
                break;
            }
            parsed = parseSectionName(trim(lineText(next)));
            i = next;
        }
        const Line& line = lines[i];
        if (parsed.kind == LineKind::Section || parsed.kind == LineKind::BadSection) {
            inSection = parsed.kind == LineKind::Section && sameName(parsed.name, section);
            inFirst = inSection && !insertAfter;
            if (inFirst)
                insertAfter = i;
            continue;
        }
        if (!inSection || parsed.kind != LineKind::Entry)
            continue;
        if (sameName(parsed.name, key)) {
            // The key keeps its spelling and the blanks around "=" stay.
            const size_t at = line.begin + parsed.valueOffset;
            text.replace(at, line.end - at, value);
            return;
        }
        if (inFirst)
            insertAfter = i;
    }

    const std::string entry = key + "=" + value;
    if (insertAfter) {
        const Line& line = lines[*insertAfter];
        std::string insert;
        if (line.next == line.end)
            insert += lineEnd; // the last line of the file had no line end
        insert += entry + lineEnd;
        text.insert(line.next, insert);
        return;
    }

    const std::string block = "[" + section + "]" + lineEnd + entry + lineEnd;
    if (openAtEnd) {
        // After it, the new section's header would be read as that one's name.
        text.insert(lines[*openAtEnd].begin, block);
        return;
    }
    if (text.size() > from && text.back() != '\n' && text.back() != '\r')
        text += lineEnd;
    text += block;
}

bool writeEntries(const std::string& path, const std::vector<Profile::Entry>& entries, std::string& error)
{
    // A line end or NUL in any of the three would add lines the file's reader
    // takes as other keys or sections.
    for (const Profile::Entry& entry : entries) {
        if (!isWritableSection(entry.section) || !Profile::isWritableKey(entry.key) || hasLineBreakOrNul(entry.value)) {
            error = "[" + entry.section + "] " + entry.key + " cannot be written as one entry";
            return false;
        }
    }

    std::string text;
    if (Profile::fileExists(path)) {
        auto bytes = readWholeFile(path);
        if (!bytes) {
            error = "cannot read " + path;
            return false;
        }
        text = std::move(*bytes);
    }
    // The reader stops at the first NUL, so nothing after it could be read back.
    if (text.find('\0') != std::string::npos) {
        error = path + " holds a NUL byte";
        return false;
    }
    for (const Profile::Entry& entry : entries)
        setEntry(text, entry.section, entry.key, entry.value);
    return replaceFile(path, text, error);
}

} // namespace

namespace Profile {

bool replaceWhole(const std::string& path, std::string_view bytes, int mode, std::string& error)
{
    return replaceFile(path, bytes, error, mode);
}

std::string readString(const std::string& path, const std::string& section, const std::string& key,
                       const std::string& defaultValue)
{
    IniFile ini;
    if (!load(path, ini))
        return defaultValue;
    const IniFile::TKeyVal* keys = ini.GetSection(section.c_str());
    if (keys == nullptr)
        return defaultValue;
    const char* value = firstValue(*keys, key);
    if (value == nullptr)
        return defaultValue;
    return unquote(value);
}

std::vector<std::string> readSection(const std::string& path, const std::string& section)
{
    std::vector<std::string> lines;
    IniFile ini;
    if (!load(path, ini))
        return lines;
    const IniFile::TKeyVal* keys = ini.GetSection(section.c_str());
    if (keys == nullptr)
        return lines;
    std::vector<std::pair<int, std::string>> ordered;
    ordered.reserve(keys->size());
    for (const auto& [entry, value] : *keys)
        ordered.emplace_back(entry.nOrder, std::string(entry.pItem) + "=" + value);
    std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    lines.reserve(ordered.size());
    for (auto& [order, line] : ordered)
        lines.push_back(std::move(line));
    return lines;
}

bool writeStrings(const std::string& path, const std::vector<Entry>& entries, std::string* error)
{
    std::string why;
    const bool ok = writeEntries(path, entries, why);
    if (!ok && error != nullptr)
        *error = why;
    return ok;
}

bool writeString(const std::string& path, const std::string& section, const std::string& key, const std::string& value)
{
    return writeStrings(path, {{section, key, value}});
}

const Document::Section* Document::find(std::string_view section) const
{
    for (const Section& each : sections_)
        if (sameName(each.name, section))
            return &each;
    return nullptr;
}

std::string Document::value(std::string_view section, std::string_view key, const std::string& defaultValue) const
{
    if (const Section* found = find(section))
        for (const Item& item : found->items)
            if (sameName(item.key, key))
                return unquote(item.value);
    return defaultValue;
}

std::vector<std::string> Document::lines(std::string_view section) const
{
    std::vector<std::string> lines;
    if (const Section* found = find(section))
        for (const Item& item : found->items)
            lines.push_back(item.key + "=" + item.value);
    return lines;
}

std::optional<Document> readDocument(const std::string& path)
{
    IniFile ini;
    if (!load(path, ini))
        return std::nullopt;
    IniFile::TNamesDepend names;
    ini.GetAllSections(names);
    names.sort(IniFile::Entry::LoadOrder());
    std::vector<Document::Section> sections;
    for (const IniFile::Entry& name : names) {
        Document::Section section{name.pItem, {}};
        std::vector<std::pair<int, Document::Item>> ordered;
        for (const auto& [entry, value] : *ini.GetSection(name.pItem))
            ordered.push_back({entry.nOrder, {entry.pItem, value}});
        std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& [order, item] : ordered)
            section.items.push_back(std::move(item));
        sections.push_back(std::move(section));
    }
    return Document(std::move(sections));
}

bool isWritableKey(std::string_view key)
{
    return !key.empty() && trim(key) == key && !hasLineBreakOrNul(key) && key.find('=') == std::string_view::npos &&
           key.front() != '[' && key.front() != ';' && key.front() != '#';
}

bool fileExists(const std::string& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

} // namespace Profile

// INI-style ("private profile") files: sections in brackets and key=value
// lines; section and key names match without regard to case; CR LF and LF line
// ends are both read. Every call opens and closes the file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Profile {

// The value of a key, or `defaultValue` when the file, section or key is missing.
// Blanks around key and value are dropped, and one pair of matching quotes
// around the value; of repeated keys the first counts. Bytes come as they are.
std::string readString(const std::string& path, const std::string& section, const std::string& key,
                       const std::string& defaultValue);

// The key=value lines of a section in file order ("key=value", as written).
std::vector<std::string> readSection(const std::string& path, const std::string& section);

struct Entry {
    std::string section;
    std::string key;
    std::string value;
};

// Writes keys, keeping every other line, comment and section as it was.
// Creates a missing section (and the file). The file is replaced whole, in
// one step for all the keys: after a crash or a failed write it is the old
// file or the new one, never a file cut short. False, with the file as it
// was, when it cannot write (`error` then says why), and when a value holds
// CR, LF or NUL or a section or key could not be read back as that one name.
bool writeStrings(const std::string& path, const std::vector<Entry>& entries, std::string* error = nullptr);
bool writeString(const std::string& path, const std::string& section, const std::string& key, const std::string& value);

// Replaces a file whole with `bytes`, as writeStrings does, with that mode
// (0600, say) whatever the old file's was. False, with the file as it was,
// when it cannot (`error` then says why).
bool replaceWhole(const std::string& path, std::string_view bytes, int mode, std::string& error);

// A key that writeStrings can write and the reader reads back as that one name.
bool isWritableKey(std::string_view key);

bool fileExists(const std::string& path);

// A whole file read once: every section (repeated ones merged under the first
// spelling) with every entry in file order, repeated keys included. Lookups
// follow the rules of readString and readSection.
class Document {
public:
    struct Item {
        std::string key;
        std::string value; // as written, quotes included
    };
    struct Section {
        std::string name;
        std::vector<Item> items;
    };

    explicit Document(std::vector<Section> sections) : sections_(std::move(sections)) {}

    std::string value(std::string_view section, std::string_view key, const std::string& defaultValue) const;
    // "key=value" lines, as readSection gives them.
    std::vector<std::string> lines(std::string_view section) const;
    const std::vector<Section>& sections() const { return sections_; }

private:
    const Section* find(std::string_view section) const;
    std::vector<Section> sections_;
};

// The file, or nothing when it cannot be read.
std::optional<Document> readDocument(const std::string& path);

} // namespace Profile

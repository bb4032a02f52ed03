// Reading and writing users' names and personal data in Palavoro.USR.
#include "server/UserFile.h"

#include "support/HexStr.h"
#include "support/Profile.h"

#include <algorithm>
#include <optional>

namespace {

constexpr const char* USERS_SECTION = "USERS";
constexpr const char* INFO_SECTION = "INFO";

bool isLineBreakOrNul(char c)
{
    return c == '\r' || c == '\n' || c == '\0';
}

} // namespace

std::string UserFile::oneLine(std::string_view text)
{
    // A CR, LF or NUL typed by a user would otherwise start a line of his own
    // making: another key or section in the file, another line in a list.
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    std::string line(text);
    for (char& c : line)
        if (isLineBreakOrNul(c))
            c = ' ';
    return line;
}

std::string UserFile::baseCall(const std::string& call)
{
    return upperStr(std::string_view(call).substr(0, call.find('-')));
}

void UserFile::load(const std::string& call, std::string& name, std::string& info) const
{
    const std::string key = baseCall(call);
    name.clear();
    if (key.empty())
        return;
    info.clear();
    if (auto change = pending_.find(key); change != pending_.end()) {
        name = change->second.name;
        info = change->second.info;
        return;
    }
    const std::string& path = path_;
    if (!Profile::fileExists(path))
        return;
    name = Profile::readString(path, USERS_SECTION, key, "");
    info = Profile::readString(path, INFO_SECTION, key, "");
}

void UserFile::save(int32_t port, const std::string& call, const std::string& name, const std::string& info)
{
    const std::string key = baseCall(call);
    // The operator makes the file to have names kept; it is never created here.
    if (key.empty() || !Profile::fileExists(path_))
        return;
    // Written with the others, it would fail them all.
    if (!Profile::isWritableKey(key)) {
        log_.writeLog(1, "{PALAVORO} User file not saved for Call(" + call + "): " + key + " cannot be a key");
        if (onNotSaved)
            onNotSaved(port, call);
        return;
    }
    Change& change = pending_[key];
    change.call = call;
    change.name = oneLine(name);
    change.info = oneLine(info);
    const std::pair<int32_t, std::string> station(port, call);
    if (std::find(change.madeBy.begin(), change.madeBy.end(), station) == change.madeBy.end())
        change.madeBy.push_back(station);
    if (!writeTimer_) {
        writeTimer_ = timers_.createTimer();
        writeTimer_->onTimer = [this] { flush(); };
        writeTimer_->setInterval(WRITE_DELAY);
    }
    if (!writeTimer_->enabled())
        writeTimer_->setEnabled(true);
}

void UserFile::flush()
{
    if (writeTimer_)
        writeTimer_->setEnabled(false);
    if (pending_.empty())
        return;
    const std::map<std::string, Change> changes = std::exchange(pending_, {});
    // Removed by the operator meanwhile: names are no longer kept.
    if (!Profile::fileExists(path_))
        return;
    // A change back to what the file holds writes nothing.
    const std::optional<Profile::Document> onFile = Profile::readDocument(path_);
    std::vector<Profile::Entry> entries;
    std::vector<const Change*> written;
    for (const auto& [key, change] : changes) {
        if (onFile && onFile->value(USERS_SECTION, key, "") == change.name &&
            onFile->value(INFO_SECTION, key, "") == change.info)
            continue;
        // Both keys in one write: the file never holds the new name with the old data.
        entries.push_back({USERS_SECTION, key, change.name});
        entries.push_back({INFO_SECTION, key, change.info});
        written.push_back(&change);
    }
    if (entries.empty())
        return;
    std::string error;
    if (Profile::writeStrings(path_, entries, &error)) {
        log_.writeLog(3, "{PALAVORO} User file written, " + std::to_string(written.size()) + " user(s) changed");
        return;
    }
    for (const Change* change : written) {
        log_.writeLog(1, "{PALAVORO} User file not saved for Call(" + change->call + "): " + error);
        for (const auto& [port, call] : change->madeBy)
            if (onNotSaved)
                onNotSaved(port, call);
    }
}

// The command interpreter: a line that starts with "/" is a command word and
// its arguments (/H lists them). Each command answers the station that typed
// it and may act on areas, names and other stations.
#pragma once

#include "convers/RemoteView.h"
#include "link/AgwLink.h"
#include "server/Delivery.h"
#include "server/Directory.h"
#include "server/DisconnectDrain.h"
#include "server/Settings.h"
#include "server/UserFile.h"
#include "support/TraceLog.h"

#include <cstdint>
#include <memory>
#include <string>

// One host link as /LI and `palavoro ctl links` show it.
std::string linkLine(const LinkStatus& link);

class CommandInterpreter {
public:
    // What the commands work with.
    struct Parts {
        Delivery& delivery;
        Directory& directory;
        DisconnectDrain& drain;
        UserFile& userFile;
        const ServerSettings& settings;
        const std::unique_ptr<AgwLink>& link;
        TraceLog& log;
        RemoteView& network;
    };

    explicit CommandInterpreter(const Parts& parts) : parts_(parts) {}

    // Carries out one command line of a station.
    void execute(int32_t port, const std::string& call, Station& station, const std::string& text);
    // A name or personal data the station set could not be written: it is
    // told, when it is still on, that the change holds for this connection only.
    void notSaved(int32_t port, const std::string& call);

private:
    Parts parts_;
};

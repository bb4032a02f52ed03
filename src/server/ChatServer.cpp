// Start-up and the wiring of the server's parts to the link's events.
#include "server/ChatServer.h"

#include "server/ServerStatus.h"
#include "server/SettingsCheck.h"
#include "support/HexStr.h"

#include <algorithm>

ChatServer::ChatServer(ShellServices& shell, TimerFactory& timers, SocketFactory makeSocket, std::string baseDirectory)
    : baseDir_(std::move(baseDirectory)), shell_(shell), timers_(timers), makeSocket_(std::move(makeSocket)),
      network_(timers_, makeSocket_, log_, [this] { return stats_.now(); }),
      userFile_(baseDir_ + "Palavoro.USR", log_, timers_),
      delivery_(link_, output_, directory_, settings_, log_, textDir(), stats_),
      drain_(link_, timers_, settings_.discWait, log_),
      commands_({delivery_, directory_, drain_, userFile_, settings_, link_, log_, network_}),
      keeper_({directory_, drain_, settings_, link_, log_, timers_, shell_}),
      connections_({delivery_, directory_, drain_, commands_, keeper_, userFile_, settings_, link_, beacon_, log_,
                    timers_, shell_, stats_, turns_}),
      networkAreas_(directory_, delivery_, network_, link_, log_),
      airLinks_({connections_, network_, drain_, keeper_, settings_, link_, log_, timers_, shell_}),
      passwords_(baseDir_ + "Palavoro.PWD"),
      tcpUsers_({connections_, output_, passwords_, settings_, log_, timers_, shell_, [this] { return stats_.now(); }}),
      sysop_({connections_, directory_, delivery_, network_, passwords_, [this] { return stateLine(); }})
{
    wireNetwork();
    CommandInterpreter& commands = commands_;
    // Turns make output only while the engine keeps up and little waits here.
    turns_.allowed = [this] {
        return !(link_ && link_->outputBacklogged()) && output_.waitingTotal() < OUTPUT_HELD;
    };
    network_.setTurns(&turns_);
    drain_.waitingHere = [this](int32_t port, const std::string& call) { return output_.waiting(port, call); };
    output_.onDrained = [this](int32_t port, const std::string& call) {
        if (isTcpUser(port))
            tcpUsers_.outputDrained(call);
        else
            drain_.outputDrained(port, call);
    };
    // Users over TCP have a connection of their own, not the engine's.
    output_.setDirect(&tcpUsers_);
    drain_.disconnectDirect = [this](const std::string& call) { tcpUsers_.disconnectWhenSent(call); };
    userFile_.onNotSaved = [&commands](int32_t port, const std::string& call) { commands.notSaved(port, call); };
}

ChatServer::~ChatServer()
{
    // The network outlives the parts its events reach: its links close with
    // nobody left to tell.
    directory_.onStationChanged = nullptr;
    directory_.onStationRemoved = nullptr;
    network_.onJoined = nullptr;
    network_.onLeft = nullptr;
    network_.onMoved = nullptr;
    network_.onSaid = nullptr;
    network_.onPrivate = nullptr;
    network_.onTopic = nullptr;
    network_.onInvited = nullptr;
    network_.onGathering = nullptr;
    network_.onLog = nullptr;
    // Our links over the air end with us, not when the neighbour times out.
    airLinks_.closeAll();
}

void ChatServer::wireNetwork()
{
    NetworkAreas& areas = networkAreas_;
    delivery_.setNetwork(&network_);
    directory_.onStationChanged = [&areas](const Station& station) { areas.stationChanged(station); };
    directory_.onStationRemoved = [&areas, this](const Station& station) {
        areas.stationRemoved(station);
        // What the last lines of a user over TCP made after its connection
        // had gone goes with it (no engine will say it has gone).
        if (isTcpUser(station.port) && !tcpUsers_.isOn(station.callSign))
            output_.forget(station.port, station.callSign);
    };
    delivery_.onStationLine = [&areas](const Station& station, int32_t areaId, const std::string& text) {
        areas.stationSaid(station, areaId, text);
    };
    network_.onJoined = [&areas](const RemoteUser& user, int32_t channel) { areas.joined(user, channel); };
    network_.onLeft = [&areas](const RemoteUser& user, int32_t channel) { areas.left(user, channel); };
    network_.onMoved = [&areas](const RemoteUser& user, int32_t from, int32_t to) { areas.moved(user, from, to); };
    network_.onSaid = [&areas](const RemoteUser& user, int32_t channel, const std::string& text) {
        areas.said(user, channel, text);
    };
    network_.onPrivate = [&areas](const std::string& name, const std::string& host, const std::string& to,
                                  const std::string& text) { areas.privateLine(name, host, to, text); };
    network_.onTopic = [&areas](int32_t channel, const std::string& text) { areas.topic(channel, text); };
    network_.onGathering = [&areas](const std::string& link, bool joins, bool open) {
        areas.gathering(link, joins, open);
    };
    network_.onInvited = [&areas](const std::string& name, const std::string& host, const std::string& to,
                                  int32_t channel) { areas.invited(name, host, to, channel); };
    ShellServices& shell = shell_;
    network_.onLog = [&shell](const std::string& line) { shell.logConnection(line); };
    AirLinks& air = airLinks_;
    network_.setAirFactory([&air](const Neighbour& neighbour) { return air.makeSocket(neighbour); });
}

ServerSettings ChatServer::defaultSettings() const
{
    ServerSettings settings;
    settings.beaconEvery = 0;
    // A path keeps its case: file names are case-sensitive here.
    settings.logFile = baseDir_ + "Palavoro.LOG";
    return settings;
}

void ChatServer::applyDisable(const std::string& disable)
{
    disable_ = disable;
    settings_.portEnabled.fill(true);
    std::string rest = disable;
    while (!rest.empty()) {
        std::string piece = nextField(rest, ',');
        int32_t port = 0;
        if (isNumeric(piece) && tryStrToInt(piece, port) && port >= 1 && port <= MAX_ENABLE_PORTS) {
            settings_.portEnabled[static_cast<size_t>(port)] = false;
            writeLog(1, "{CHAT} Port(" + std::to_string(port) + ") Disabled");
        }
    }
}

ControlReply ChatServer::control(const std::vector<std::string>& arguments, uint32_t uid)
{
    std::string words;
    for (size_t i = 0; i < arguments.size(); ++i)
        // A password is never written anywhere in clear.
        words += " " + (i == 2 && arguments[0] == "passwd" && arguments[1] != "-d" && arguments[1] != "-l"
                            ? std::string("(password)")
                            : arguments[i]);
    shell_.logConnection("ctl:" + words + " (uid " + std::to_string(uid) + ")");
    if (arguments.size() == 1 && arguments.front() == "reload") {
        const ReloadResult result = reload();
        std::string text;
        for (const std::string& line : result.lines)
            text += line + "\n";
        return {result.applied, text};
    }
    return sysop_.handle(arguments);
}

std::string ChatServer::stateLine()
{
    const size_t stations = directory_.stationCount();
    std::string text = std::to_string(stations) + (stations == 1 ? " station on; " : " stations on; ");
    if (!link_)
        return text + "no link";
    const std::string engine =
        (link_->host().empty() ? link_->address() : link_->host()) + ":" + std::to_string(link_->tcpPort());
    if (link_->isActive() && keeper_.isRegistered())
        return text + "link ready: " + link_->callSign() + " registered at " + engine;
    if (link_->isActive())
        return text + "registering " + link_->callSign() + " with the engine at " + engine;
    if (keeper_.isWaiting())
        return text + "waiting for the engine at " + engine;
    return text + "connecting to the engine at " + engine;
}

void ChatServer::start()
{
    settings_ = defaultSettings();
    stats_.startedAt = stats_.linkSince = stats_.now();
    keeper_.reset();
    log_.debug = "YES";
    log_.level = 4;
    log_.logFile = settings_.logFile;

    std::string disable;
    problems_ = readStation(baseDir_, settings_, disable, hostLookup_);
    // A refused file changes nothing: its reason goes to the default trace.
    log_.debug = settings_.debug;
    log_.level = settings_.traceLevel;
    log_.logFile = settings_.logFile;
    log_.maxBytes = static_cast<int64_t>(std::max(settings_.logSize, 0)) * 1024;

    // The trace is kept across starts (a restart after a failure must not
    // wipe that run's trace): each start begins with where and what runs.
    writeLog(1, "{PALAVORO} Start " + isoTime(stats_.startedAt) + " " + PROGRAM_VERSION + " in " + baseDir_);
    for (const SettingsProblem& problem : problems_)
        writeLog(1, "{PALAVORO} " + problem.text);
    for (const SettingsProblem& problem : problems_)
        if (problem.stops) {
            writeLog(1, "{PALAVORO} Start-up refused: " + problem.text);
            throw StartupError(problem.text);
        }

    applyDisable(disable);

    writeLog(1, "{PALAVORO} Program Initialization");
    wireLink();
    writeLog(1, "{PALAVORO} L2 Object Creation Completed");
    makeBeacon();
    makeAreas();
    network_.start(settings_.network);
    tcpUsers_.configure(settings_.tcpUsers);
}

void ChatServer::stop(std::function<void()> done)
{
    userFile_.flush();
    network_.stop();
    // The links over the air and the stations go at once, so that the whole
    // stop keeps the stations' time limit; done when both are over.
    auto remaining = std::make_shared<int>(2);
    auto finish = [this, remaining, done = std::move(done)] {
        if (--*remaining != 0)
            return;
        // Users over TCP that have not gone yet go now.
        tcpUsers_.closeAll();
        if (done)
            done();
    };
    airLinks_.whenClosed(finish);
    connections_.stopAll(finish);
}

void ChatServer::wireLink()
{
    link_ = std::make_unique<AgwLink>(makeSocket_(), timers_);
    TraceLog& trace = link_->traceLog();
    trace.logFile = log_.logFile;
    trace.debug = log_.debug;
    trace.level = log_.level;
    trace.maxBytes = log_.maxBytes;
    link_->setLogin(settings_.login, settings_.password);
    Connections& c = connections_;
    // Host links over the air take their connections' events before the stations.
    AirLinks& air = airLinks_;
    link_->onConnectEx = [&air](AgwLink& link, RadioPort port, const std::string& from, const std::string& to,
                                const std::string& text) { air.handleConnect(link, port, from, to, text); };
    link_->onDisconnect = [&air, this](AgwLink& link, RadioPort port, const std::string& call,
                                       const std::string& text) {
        // Nothing more can reach a connection that has gone.
        output_.forget(port, call);
        air.handleDisconnect(link, port, call, text);
    };
    link_->onData = [&air](AgwLink& link, RadioPort port, const std::string& callFrom, const std::string& callTo,
                           uint8_t pid,
                           const std::string& data) { air.handleData(link, port, callFrom, callTo, pid, data); };
    link_->onAgwUp = [&c](AgwLink& link) { c.handleLinkUp(link); };
    link_->onAgwDown = [&c, &air, this](AgwLink& link) {
        output_.clear();
        air.engineDown();
        c.handleLinkDown(link);
    };
    link_->onAgwError = [&c](AgwLink& link) { c.handleLinkError(link); };
    link_->onRegister = [&c](AgwLink& link, RadioPort port, const std::string& call, const std::string& data) {
        c.handleRegistration(link, port, call, data);
    };
    link_->onBroken = [&c, &air, this](AgwLink& link, const std::string& reason) {
        output_.clear();
        air.engineDown();
        c.handleBroken(link, reason);
    };
    link_->onVersion = [&c](AgwLink& link, int32_t major, int32_t minor) { c.handleVersion(link, major, minor); };
    link_->onPort = [&c](AgwLink& link) { c.handlePortList(link); };
    watchBacklog();
    link_->setEngineWait(static_cast<uint32_t>(std::max<int32_t>(settings_.engineWait, 0)));
    StationOutput& output = output_;
    link_->onConnFrames = [&air, &output, this](AgwLink& link, RadioPort port, const std::string& callFrom,
                                                const std::string& callTo, int32_t frames) {
        output.outstanding(port, callFrom, callTo, frames);
        air.handleConnFrames(link, port, callFrom, callTo, frames);
        // What waited here may have gone to the engine: turns may go on.
        turns_.serve();
    };
    link_->setCallSign(settings_.callSign);
    if (!settings_.hostName.empty())
        link_->setHost(settings_.hostName);
    link_->setAddress(settings_.ipAddress);
    link_->setPort(static_cast<uint32_t>(settings_.tcpPort));
    link_->setMonitor("N");
    link_->setRawFrames(false);
    link_->setPortPolling(false);
    link_->open();
}

void ChatServer::replaceLink(std::unique_ptr<AgwLink> link)
{
    link_ = std::move(link);
    if (link_)
        watchBacklog();
}

void ChatServer::watchBacklog()
{
    link_->onBacklog = [this](AgwLink& /*link*/, bool on) {
        // The host links read again join the stations' turns, which then go on.
        backlogChanged();
        if (!on)
            connections_.resumeWork();
    };
}

void ChatServer::backlogChanged()
{
    const bool now = link_ && link_->outputBacklogged();
    if (now == backlogReported_)
        return;
    backlogReported_ = now;
    // A neighbour's lines make output for the engine too.
    network_.pauseInput(now);
    if (onBacklogChanged)
        onBacklogChanged(now);
}

void ChatServer::makeBeacon()
{
    if (static_cast<uint32_t>(settings_.beaconEvery) == 0 || settings_.beaconText.empty())
        return;
    beacon_ = std::make_unique<Beacon>(timers_);
    TraceLog& trace = beacon_->traceLog();
    trace.debug = log_.debug;
    trace.level = log_.level;
    trace.logFile = log_.logFile;
    trace.maxBytes = log_.maxBytes;
    beacon_->setCallSign(settings_.callSign);
    beacon_->setLink(link_.get());
    beacon_->setInterval(settings_.beaconEvery);
    beacon_->setDestination(settings_.beaconId);
    beacon_->setVia(settings_.beaconVia);
    beacon_->setText(settings_.beaconText);
    Connections& c = connections_;
    beacon_->onBeacon = [&c](AgwLink& link, RadioPort port, const std::string& call, const std::string& id,
                             const std::string& via,
                             const std::string& text) { c.handleBeacon(link, port, call, id, via, text); };
    writeLog(1, "{PALAVORO} AX.25 <UI> Beacon Initialized");
}

void ChatServer::makeAreas()
{
    directory_.clear();
    writeLog(1, "{PALAVORO} Memory Control Block Initialized");

    if (directory_.addArea(0, "Root", true, settings_.callSign) == nullptr) {
        writeLog(1, "{PALAVORO} Root Area Creation Failed");
        shell_.fatalError("Not Able to create Root Chat Area");
        return;
    }
    writeLog(1, "{PALAVORO} Root Area Created");

    for (const std::string& line : settings_.areaLines) {
        std::string topic = line;
        std::string id = nextField(topic, '=');
        int32_t value = 0;
        if (!isNumeric(id) || !tryStrToInt(id, value))
            continue;
        if (directory_.addArea(value, topic, true, settings_.callSign) != nullptr)
            writeLog(1, "{PALAVORO} Created Area(" + std::to_string(value) + ") Description(" + topic + ")");
    }
}

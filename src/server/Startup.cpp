#include "chat.h"

#include "support/HexStr.h"
#include "support/Profile.h"

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Everything start-up takes from Palavoro.INI, read in one go so that a bad
// number stops start-up before anything has been changed.
struct IniSettings {
    std::string IpAddress;
    std::string HostName;
    int32_t TcpPort = 8000;
    std::string Debug;
    int32_t Trace = 1;
    std::string LogFile;
    std::string CallSign;
    std::string Login;
    std::string Password;
    int32_t Timeout = 600000;
    int32_t DiscWait = 60000;
    std::string Disable;
    bool CreateArea = false;
    bool Bell = false;
    bool ForceName = false;
    std::string BeaconText;
    int32_t BeaconEvery = 600000;
    std::string BeaconId;
    std::string BeaconVia;
    std::vector<std::string> Areas;
};

std::string BadNumber(const std::string& section, const std::string& key, const std::string& value,
                      const char* what = "is not a number")
{
    return "Palavoro.INI: [" + section + "] " + key + "=" + value + " " + what;
}

int32_t ReadNumber(const std::string& ini, const std::string& section, const std::string& key,
                   const std::string& defaultValue)
{
    std::string value = Profile::ReadString(ini, section, key, defaultValue);
    int32_t number = 0;
    if (!TryStrToInt(value, number))
        throw ConvertError(BadNumber(section, key, value));
    return number;
}

bool ReadYes(const std::string& ini, const std::string& key)
{
    return UpperStr(Profile::ReadString(ini, "PALAVORO", key, "NOT")) == "YES";
}

IniSettings ReadIni(const std::string& ini, const std::string& defaultLog)
{
    IniSettings s;
    s.IpAddress = Profile::ReadString(ini, "PALAVORO", "IP_ADDRESS", "127.0.0.1");
    s.HostName = Profile::ReadString(ini, "PALAVORO", "HOSTNAME", "");
    s.TcpPort = ReadNumber(ini, "PALAVORO", "TCP_PORT", "8000");
    // A port beyond 16 bits would silently connect somewhere else.
    if (s.TcpPort < 0 || s.TcpPort > 65535)
        throw ConvertError(BadNumber("PALAVORO", "TCP_PORT", std::to_string(s.TcpPort), "is not a TCP port number"));
    s.Debug = UpperStr(Profile::ReadString(ini, "PALAVORO", "DEBUG", "YES"));
    s.Trace = ReadNumber(ini, "PALAVORO", "TRACE", "1");
    // A path keeps its case: file names are case-sensitive here.
    s.LogFile = Profile::ReadString(ini, "PALAVORO", "LOGFILE", defaultLog);
    s.CallSign = UpperStr(Profile::ReadString(ini, "PALAVORO", "CALLSIGN", "NOBODY-0"));
    s.Login = UpperStr(Profile::ReadString(ini, "PALAVORO", "LOGIN", ""));
    s.Password = UpperStr(Profile::ReadString(ini, "PALAVORO", "PASWD", ""));
    s.Timeout = ReadNumber(ini, "PALAVORO", "TIMEOUT", "600000");
    s.DiscWait = ReadNumber(ini, "PALAVORO", "DISCWAIT", "60000");
    s.Disable = Profile::ReadString(ini, "PALAVORO", "DISABLE", "");
    s.CreateArea = ReadYes(ini, "CREATEAREA");
    s.Bell = ReadYes(ini, "BELL");
    s.ForceName = ReadYes(ini, "FORCENAME");
    s.BeaconText = Profile::ReadString(ini, "BEACON", "TEXT", "");
    s.BeaconEvery = ReadNumber(ini, "BEACON", "EVERY", "600000");
    s.BeaconId = UpperStr(Profile::ReadString(ini, "BEACON", "ID", "ID"));
    s.BeaconVia = UpperStr(Profile::ReadString(ini, "BEACON", "VIA", ""));
    s.Areas = Profile::ReadSection(ini, "AREAS");
    return s;
}

// Checks every AREAS id before anything is built, so a bad one stops start-up
// as early as the other numbers do.
void CheckAreaIds(const std::vector<std::string>& areas)
{
    for (const std::string& line : areas) {
        std::string topic = line;
        std::string id = NextField(topic, '=');
        int32_t value = 0;
        if (IsNumeric(id) && !TryStrToInt(id, value))
            throw ConvertError(BadNumber("AREAS", id, topic, "has an area id that is not a 32-bit number"));
    }
}

} // namespace

void TForm1::FormCreate()
{
    Log.Debug = "YES";
    Log.Trace = 4;
    Log.LogFile = "PALAVORO.LOG";
    IpAddress = "127.0.0.1";
    TcpPort = 8000;
    HostName.clear();
    CallSign = "NOBODY-0";
    Registered = false;
    Timeout = 600000;
    DiscWait = 60000;
    CreateArea = false;
    BeaconEvery = 0;
    BeaconText.clear();
    BeaconId.clear();
    BeaconVia.clear();
    Bell = false;
    ForceName = false;
    PortEnabled.fill(true);

    const std::string defaultLog = BaseDir + "Palavoro.LOG";
    Log.LogFile = defaultLog;
    WriteHex(1, Log.LogFile);

    std::string login;
    std::string password;
    std::string disable;
    std::vector<std::string> areas;
    if (Profile::FileExists(IniFile())) {
        IniSettings s = ReadIni(IniFile(), defaultLog);
        CheckAreaIds(s.Areas);
        IpAddress = s.IpAddress;
        HostName = s.HostName;
        TcpPort = s.TcpPort;
        Log.Debug = s.Debug;
        Log.Trace = s.Trace;
        Log.LogFile = s.LogFile;
        CallSign = s.CallSign;
        login = s.Login;
        password = s.Password;
        Timeout = s.Timeout;
        DiscWait = s.DiscWait;
        disable = s.Disable;
        CreateArea = s.CreateArea;
        Bell = s.Bell;
        ForceName = s.ForceName;
        BeaconText = s.BeaconText;
        BeaconEvery = s.BeaconEvery;
        BeaconId = s.BeaconId;
        BeaconVia = s.BeaconVia;
        areas = std::move(s.Areas);
    }

    Log.Truncate();

    while (!disable.empty()) {
        std::string piece = NextField(disable, ',');
        int32_t port = 0;
        if (IsNumeric(piece) && TryStrToInt(piece, port) && port >= 1 && port <= MAX_ENABLE_PORTS) {
            PortEnabled[static_cast<size_t>(port)] = false;
            WriteLog(1, "{CHAT} Port(" + std::to_string(port) + ") Disabled");
        }
    }

    WriteLog(1, "{PALAVORO} Program Initialization");

    L2 = std::make_unique<TL2>(makeSocket_(), timers_);
    L2->Log.LogFile = Log.LogFile;
    L2->Log.Debug = Log.Debug;
    L2->Log.Trace = Log.Trace;
    L2->LoginUser = login;
    L2->LoginPassword = password;
    L2->FOnConnectEx = [this](TL2& link, uint8_t Port, const std::string& From, const std::string& To,
                              const std::string& Text) { OnConnect(link, Port, From, To, Text); };
    L2->FOnDisconnect = [this](TL2& link, uint8_t Port, const std::string& Call, const std::string& Text) {
        OnDisconnect(link, Port, Call, Text);
    };
    L2->FOnData = [this](TL2& link, uint8_t Port, const std::string& CallFrom, const std::string& CallTo, uint8_t PID,
                         const std::string& Data) { OnData(link, Port, CallFrom, CallTo, PID, Data); };
    L2->FOnAGWUp = [this](TL2& link) { OnAGWUp(link); };
    L2->FOnAGWDown = [this](TL2& link) { OnAGWDown(link); };
    L2->FOnAGWError = [this](TL2& link) { OnAGWError(link); };
    L2->FOnRegister = [this](TL2& link, const std::string& Call, const std::string& Data) {
        OnRegister(link, Call, Data);
    };
    L2->FOnVersion = [this](TL2& link, int32_t Major, int32_t Minor) { OnVersion(link, Major, Minor); };
    L2->FOnPort = [this](TL2& link) { OnPort(link); };
    L2->FOnConnFrames = [this](TL2& link, uint8_t Port, const std::string& CallFrom, const std::string& CallTo,
                               int32_t Frames) { OnConnFrames(link, Port, CallFrom, CallTo, Frames); };
    L2->SetCallSign(CallSign);
    if (!HostName.empty())
        L2->Host = HostName;
    L2->SetAddress(IpAddress);
    L2->SetPort(static_cast<uint32_t>(TcpPort));
    L2->SetMonitor("N");
    L2->RawFrames = false;
    L2->PortPolling = false;
    L2->Open();
    WriteLog(1, "{PALAVORO} L2 Object Creation Completed");

    if (static_cast<uint32_t>(BeaconEvery) != 0 && !BeaconText.empty()) {
        Beacon = std::make_unique<TL2Beacon>(timers_);
        Beacon->Log.Debug = Log.Debug;
        Beacon->Log.Trace = Log.Trace;
        Beacon->Log.LogFile = Log.LogFile;
        Beacon->CallSign = CallSign;
        Beacon->AGWL2 = L2.get();
        Beacon->SetInterval(BeaconEvery);
        Beacon->ID = BeaconId;
        Beacon->Via = BeaconVia;
        Beacon->Text = BeaconText;
        Beacon->OnBeacon = [this](TL2& link, uint8_t Port, const std::string& Call, const std::string& ID,
                                  const std::string& Via,
                                  const std::string& Text) { OnBeacon(link, Port, Call, ID, Via, Text); };
        WriteLog(1, "{PALAVORO} AX.25 <UI> Beacon Initialized");
    }

    AreaList.clear();
    UserList.clear();
    WriteLog(1, "{PALAVORO} Memory Control Block Initialized");

    if (AddArea(0, "Root", true, CallSign) == nullptr) {
        WriteLog(1, "{PALAVORO} Root Area Creation Failed");
        Shell().FatalError("Not Able to create Root Chat Area");
        return;
    }
    WriteLog(1, "{PALAVORO} Root Area Created");

    for (const std::string& line : areas) {
        std::string topic = line;
        std::string id = NextField(topic, '=');
        int32_t value = 0;
        if (!IsNumeric(id) || !TryStrToInt(id, value))
            continue;
        if (AddArea(value, topic, true, CallSign) != nullptr)
            WriteLog(1, "{PALAVORO} Created Area(" + std::to_string(value) + ") Description(" + topic + ")");
    }
}

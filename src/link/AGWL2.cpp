#include "AGWL2.h"

#include "support/HexStr.h"

#include <algorithm>

namespace {

constexpr size_t LOGIN_FIELD = 255;

bool IsMonitorLetter(char c)
{
    const char upper = UpperStr(std::string_view(&c, 1))[0];
    return std::string_view("MIUSCN").find(upper) != std::string_view::npos;
}

} // namespace

TL2::TL2(std::unique_ptr<ClientSocket> socket, TimerFactory& timers) : socket_(std::move(socket)), timers_(timers)
{
    socket_->OnConnected = [this] { AGWConnect(); };
    socket_->OnClosed = [this] { AGWDisc(); };
    socket_->OnError = [this](int& errorCode) { AGWError(errorCode); };
    socket_->OnDataAvailable = [this] { AGWRead(); };
}

TL2::~TL2()
{
    if (PortTimer) {
        PortTimer->SetEnabled(false);
        PortTimer.reset();
    }
    WriteLog(1, "{L2} AGW Object Destroyed");
    if (FOnDestroy)
        FOnDestroy(*this);
    // Unhook first: closing an open socket reports the close, and this object
    // is no longer there to hear it.
    socket_->OnConnected = nullptr;
    socket_->OnClosed = nullptr;
    socket_->OnError = nullptr;
    socket_->OnDataAvailable = nullptr;
    socket_->Close();
}

void TL2::Open()
{
    if (Address.empty() && Host.empty()) {
        WriteLog(1, "{L2} ERROR No IP Address or HostName indicated, object creation aborted");
        return;
    }
    if (CallSign.empty()) {
        WriteLog(1, "{L2} ERROR No CallSign indicated, object creation aborted");
        return;
    }
    PortCount = MAX_PORTS;
    std::fill(Ports.begin(), Ports.end(), TPortRecord{});

    const bool byName = !Host.empty();
    socket_->ConnectTo(byName ? Host : Address, Port);
    WriteLog(1, "{L2} AGW Object Opened " + (byName ? std::string() : Address) + ":" + std::to_string(Port));
}

void TL2::SetAddress(const std::string& value)
{
    if (Active) {
        WriteLog(1, "{L2} Error can not change the IP Address while active");
        return;
    }
    WriteLog(3, "{L2} Set Address " + value);
    Address = value;
}

void TL2::SetPort(uint32_t value)
{
    if (Active) {
        WriteLog(1, "{L2} Error can not change the TCP Port while active");
        return;
    }
    WriteLog(3, "{L2} Set TCP Port " + std::to_string(value));
    if (value != 0)
        Port = value;
}

void TL2::SetCallSign(const std::string& value)
{
    if (Active) {
        WriteLog(1, "{L2} Error can not change the callsign while active");
        return;
    }
    WriteLog(3, "{L2} Set CallSign " + value);
    CallSign = value;
}

void TL2::SetRegister(bool value)
{
    try {
        WriteLog(1, "{L2} Set Register " + BoolText(value) + " CallSign(" + CallSign + ")");
        if (value == Registered) {
            WriteLog(1, "{L2} Set Register ignored for CallSign(" + CallSign + ")");
            return;
        }
        // Registered follows AGWPE's answer, not the request.
        if (Active) {
            if (value)
                AGWRegister(CallSign);
            else
                AGWUnRegister(CallSign);
        }
    } catch (...) {
        WriteLog(1, "{L2} Exception on module SetRegister");
    }
}

void TL2::SetMonitor(const std::string& value)
{
    WriteLog(1, "{L2} Set Monitor <" + value + "> CallSign(" + CallSign + ")");
    if (value.empty() || !std::all_of(value.begin(), value.end(), IsMonitorLetter))
        return;
    const std::string wanted = UpperStr(value);
    // "m" toggles AGWPE's monitoring, so it is sent only when it goes on or off.
    if ((Monitor == "N") != (wanted == "N")) {
        if (Active)
            Write(0, 0, 'm', "", "", "");
        Monitor = wanted;
    }
}

void TL2::AGWConnect()
{
    try {
        WriteLog(1, "{L2} Connected with AGWPE");
        Active = true;
        if (!LoginUser.empty() && !LoginPassword.empty()) {
            // The password never reaches the trace in clear: the line and every dump star it out.
            WriteLog(3, "{L2} Sending Login Frame User(" + LoginUser + ") Paswd(****)");
            if (LoginUser.size() > LOGIN_FIELD)
                LoginUser.resize(LOGIN_FIELD);
            if (LoginPassword.size() > LOGIN_FIELD)
                LoginPassword.resize(LOGIN_FIELD);
            const std::string login =
                PadRight(LoginUser, LOGIN_FIELD, '\0') + PadRight(LoginPassword, LOGIN_FIELD, '\0');
            WriteLog(4, "{L2} <OnAGWUp> Login Frame Info Area");
            if (Log.Enabled(4))
                WriteHex(4, DataForTrace('P', login));
            Write(0, 0, 'P', "", "", login);
        }
        FireEvent(FOnAGWUp, "FOnAGWUp");
        Write(0, 0, 'G', "", "", "");
        Write(0, 0, 'R', "", "", "");
        if (RawFrames)
            Write(0, 0, 'k', "", "", "");
        if (Monitor.find_first_of("UISC") != std::string::npos)
            Write(0, 0, 'm', "", "", "");
    } catch (...) {
        WriteLog(1, "{L2} Exception on module AGWConnect");
    }
}

void TL2::AGWDisc()
{
    try {
        WriteLog(1, "{L2} Disconnected from AGWPE");
        Active = false;
        FireEvent(FOnAGWDown, "FOnAGWDown");
    } catch (...) {
        WriteLog(1, "{L2} Exception on module AGWDisc");
    }
}

void TL2::AGWError(int& errorCode)
{
    try {
        WriteLog(1, "{L2} <AGWError> Socket Error from AGWPE");
        Active = false;
        FireEvent(FOnAGWError, "FOnAGWError");
        errorCode = 0;
    } catch (...) {
        WriteLog(1, "{L2} Exception on module AGWError");
    }
}

void TL2::AGWRead()
{
    try {
        const std::string bytes = socket_->ReadAll();
        WriteLog(5, "{L2} Read from AGWPE Socket ");
        WriteHex(5, bytes);
        if (!bytes.empty())
            Store(bytes);
    } catch (...) {
        WriteLog(1, "{L2} Exception on module AGWRead");
    }
}

void TL2::PortTimerTick()
{
    if (PortTimer)
        PortTimer->SetEnabled(false);
    Write(0, 0, 'G', "", "", "");
}

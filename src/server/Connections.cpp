#include "chat.h"

namespace {

const char* const NameRequired = "\r--- This server requires to set your name, use the /NA name command\r";

} // namespace

void TForm1::OnConnect(TL2& link, uint8_t Port, const std::string& From, const std::string& To, const std::string& Text)
{
    try {
        const std::string port = std::to_string(Port);
        WriteLog(2, "{PALAVORO} Event <OnConnect>");
        WriteLog(4, "{PALAVORO} (His) Connect Port(" + port + ") <" + From + "> Message(" + Text + ")");
        // The text goes first, and the disconnect waits until it is on the air.
        auto refuse = [&](const char* file, const std::string& text) {
            SendFile(Port, From, file, text);
            DisconnectWhenSent(Port, To, From);
        };
        if (!Registered) {
            refuse("BUSY.INF", "\r--- Server Busy, Try Later\r");
            return;
        }
        if (Port >= 1 && Port <= MAX_ENABLE_PORTS && !PortEnabled[Port]) {
            refuse("BADPORT.INF", "\r--- Connections not Allowed on this Port\r");
            return;
        }
        TUser* user = NewUser(Port, From);
        if (user == nullptr) {
            refuse("ERROR.INF", "\r--- Internal Error, Try Later\r");
            return;
        }
        user->Port = Port;
        user->CallSign = From;
        user->ServerCall = To;
        LoadUserInfo(From, user->Name, user->Info);
        user->AreaId = 0;
        user->State = ForceName && user->Name.empty() ? NONAME : ONLINE;
        if (Timeout != 0) {
            // Started once here and never restarted: the limit counts from the
            // connection, not from the user's last line.
            user->IdleTimer = timers_.CreateTimer();
            Timer* timer = user->IdleTimer.get();
            timer->OnTimer = [this, timer] { OnIdleTimeout(timer); };
            timer->SetInterval(static_cast<uint32_t>(Timeout));
            timer->SetEnabled(true);
        }
        SendFile(Port, From, "PALAVORO.INF", "Welcome to the " + CallSign + " Chat Server" + "\r");
        if (!user->Name.empty())
            link.SendData(Port, PID_NO_L3, link.CallSign, From, "\rHello " + user->Name + "!\r");
        SendPrompt(Port, From, 0);
        TArea* root = FindArea(0);
        if (root == nullptr) {
            refuse("ERROR.INF", "\r--- Internal Error, Try Later\r");
            return;
        }
        ++root->UserCount;
        BroadCastToArea(Port, From, 0, "<" + From + " joined Area>\r");
    } catch (...) {
        WriteLog(1, "{PALAVORO} Exception on OnConnect");
    }
}

void TForm1::OnData(TL2& /*link*/, uint8_t Port, const std::string& CallFrom, const std::string& /*CallTo*/,
                    uint8_t PID, const std::string& Data)
{
    try {
        const std::string port = std::to_string(Port);
        WriteLog(3, "{PALAVORO} Event <OnData>");
        WriteLog(4, "{PALAVORO} Port(" + port + ") <" + CallFrom + "> PID(" + std::to_string(PID) + ") Message(" +
                        Data + ")");
        WriteHex(5, Data);
        if (Data.empty())
            return;
        TUser* user = FindUser(Port, CallFrom);
        if (user == nullptr) {
            WriteLog(1, "{PALAVORO} User(" + port + ":" + CallFrom + ") no control block found");
            return;
        }
        if (Data[0] == '/') {
            WriteLog(3, "{PALAVORO} Event <OnData>");
            ExecuteCommand(Port, CallFrom, *user, Data);
        } else {
            if (user->State != ONLINE)
                SendFile(Port, CallFrom, "NAME.INF", NameRequired);
            SendData(Port, CallFrom, *user, Data);
        }
        SendPrompt(Port, CallFrom, user->AreaId);
    } catch (...) {
        WriteLog(1, "{PALAVORO} Exception on OnData");
    }
}

void TForm1::OnDisconnect(TL2& /*link*/, uint8_t Port, const std::string& Call, const std::string& Text)
{
    try {
        const std::string port = std::to_string(Port);
        WriteLog(2, "{PALAVORO} Event <OnDisconnect>");
        WriteLog(3, "{PALAVORO} Disconnect Port(" + port + ") <" + Call + "> Message(" + Text + ")");
        EndDrain(Port, Call);
        TUser* user = FindUser(Port, Call);
        if (user == nullptr) {
            WriteLog(1, "{PALAVORO} User(" + port + ":" + Call + ") no control block found");
            return;
        }
        // After /B the departure has been announced already.
        if (user->State != DISC)
            BroadCastToArea(Port, Call, user->AreaId, "<" + Call + " left Area>\r");
        DecAreaUsers(user->AreaId);
        WriteLog(3, "{PALAVORO} User Removed");
        RemoveUser(user);
    } catch (...) {
        WriteLog(1, "{PALAVORO} Exception on OnDisconnect");
    }
}

void TForm1::OnIdleTimeout(Timer* timer)
{
    if (!L2) {
        WriteLog(1, "{PALAVORO} L2 Object not ready");
        return;
    }
    TUser* user = FindUserByTimer(timer);
    if (user == nullptr) {
        WriteLog(1, "{PALAVORO} Control block not found");
        return;
    }
    // The limit fires once per connection.
    user->IdleTimer->SetEnabled(false);
    user->IdleTimer.reset();
    if (user->State == DISC) {
        WriteLog(1, "{PALAVORO} User (" + user->CallSign + ") in DISC, clean up control block");
        RemoveUser(user);
        return;
    }
    user->State = EXPIRED;
    WriteLog(1, "{PALAVORO} User (" + user->CallSign + ") in <> DISC, send disconnect");
    SendFile(user->Port, user->CallSign, "INACTIVE.INF", "\r--- Inactivity Timeout, Logging out\r");
    DisconnectWhenSent(user->Port, L2->CallSign, user->CallSign);
}

void TForm1::OnAGWUp(TL2& link)
{
    WriteLog(1, "{PALAVORO} Event <OnAGWUp> AGWPE(" + link.CallSign + ")");
    link.SetRegister(true);
}

void TForm1::OnRegister(TL2& /*link*/, const std::string& Call, const std::string& Data)
{
    // An answer without its result byte counts as a refusal.
    const std::string rc = std::to_string(Data.empty() ? 0 : static_cast<uint8_t>(Data[0]));
    WriteLog(3, "{PALAVORO} Event <OnRegister> " + Call + " (" + rc + ")");
    WriteLog(3, "{PALAVORO} Registered <" + Call + "> rc(" + rc + ")");
    if (rc != "1") {
        Shell().FatalError("Unable to Register CALLSIGN with AGWPE");
        return;
    }
    Registered = true;
}

void TForm1::OnAGWDown(TL2& link)
{
    WriteLog(1, "{PALAVORO} Event <OnAGWDown> AGWPE(" + link.CallSign + ")");
    WriteLog(3, "{PALAVORO} Main Node L2 Object Terminated");
}

void TForm1::OnAGWError(TL2& link)
{
    WriteLog(1, "{PALAVORO} Event <OnAGWError> AGWPE(" + link.CallSign + ")");
    Shell().FatalError("Link with AGWPE Broken");
}

void TForm1::OnVersion(TL2& /*link*/, int32_t Major, int32_t Minor)
{
    WriteLog(3, "{PALAVORO} Event <OnVersion>");
    WriteLog(1, "{PALAVORO} AGW Packet Engine Version=" + std::to_string(Major) + "." + std::to_string(Minor));
}

void TForm1::OnPort(TL2& link)
{
    WriteLog(2, "{PALAVORO} Event <OnPort> AGWPE(" + link.CallSign + ")");
    if (Beacon)
        Beacon->SetActive(true);
}

void TForm1::OnBeacon(TL2& link, uint8_t Port, const std::string& Call, const std::string& ID, const std::string& Via,
                      const std::string& Text)
{
    WriteLog(2, "{PALAVORO} Event <OnBeacon>");
    if (Beacon)
        Beacon->Post(&link, Port, Call, ID, Via, Text);
}

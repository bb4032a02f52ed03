#include "chat.h"

#include "support/HexStr.h"

namespace {

const char* const HelpEntries[] = {
    "/B[ye]",
    "/C[hannel] {#Channel|*} ",
    "/NE[w] {Topic of New Channel}",
    "/E[xit]",
    "/H[elp]",
    "/J[oin] {#Channel}",
    "/F[ollow] {CallSign}",
    "/L[eave] {#Channel}",
    "/LI[nks]",
    "/M[sg] {#Channel|CallSign} Message",
    "/NA[me] {Name}",
    "/P[ersonal] {Personal Data|@}  ",
    "/T[opic]    {#Channel} {Text|@}",
    "/D[estroy] {#Channel}",
    "/U[ser] {CallSign}         ",
    "/W[ho]",
    "/V[ersion]",
};

const char* const NameRequired = "\r--- This server requires to set your name, use the /NA name command\r";
const char* const NoInformation = "\r--- No information on the subject\r";

std::string NotFound(const std::string& word)
{
    return "\r-- Area(" + word + ") Not Found\r";
}

// A subject names a file inside TEXT and nothing outside it.
bool IsSafeSubject(const std::string& word)
{
    return word.find_first_of(std::string("/\\\0", 3)) == std::string::npos && word.find("..") == std::string::npos;
}

// One command line being carried out for one user.
class Command {
public:
    Command(TForm1& form, int32_t port, const std::string& call, TUser& user, std::string args)
        : form_(form), port_(port), call_(call), user_(user), args_(std::move(args))
    {
    }

    void Dispatch(const std::string& token);

private:
    void Reply(const std::string& text) { form_.SendTo(port_, call_, text); }
    void Recognized(const char* name) { form_.WriteLog(3, std::string("{PALAVORO} ") + name + " Command recognized"); }
    // The area a typed number names, or none (also for a word that is not a number).
    TArea* AreaNamed(const std::string& word) { return IsNumeric(word) ? form_.FindArea(StrToInt(word)) : nullptr; }
    // The area number that starts the arguments, or none after the reply.
    TArea* AreaArgument();
    const std::string& OwnCall() const { return form_.L2->CallSign; }

    void Bye();
    void Help();
    void Version();
    void Name();
    void Personal();
    void Channel();
    void Info();
    void Who();
    void Topic();
    void Join();
    void Follow();
    void New();
    void Msg();
    void Leave();
    void Destroy();

    TForm1& form_;
    const int32_t port_;
    const std::string& call_;
    TUser& user_;
    std::string args_;
};

void Command::Dispatch(const std::string& token)
{
    const char first = token[0];
    const std::string two = token.substr(0, 2);
    if (first == 'B' || first == 'Q')
        Bye();
    else if (first == 'H' || first == '?')
        Help();
    else if (first == 'V')
        Version();
    else if (two == "NA")
        Name();
    else if (user_.State != ONLINE)
        form_.SendFile(port_, call_, "NAME.INF", NameRequired);
    else if (first == 'P')
        Personal();
    else if (first == 'C')
        Channel();
    else if (first == 'I')
        Info();
    else if (first == 'W')
        Who();
    else if (first == 'T')
        Topic();
    else if (first == 'J')
        Join();
    else if (first == 'F')
        Follow();
    else if (two == "NE")
        New();
    else if (first == 'M')
        Msg();
    else if (first == 'L')
        Leave();
    else if (first == 'D')
        Destroy();
    else
        Reply("\r-- Command " + token + " Not Recognized\r");
}

TArea* Command::AreaArgument()
{
    if (args_.empty()) {
        Reply("\r-- Inform Area #\r");
        return nullptr;
    }
    const std::string word = NextWord(args_);
    TArea* area = AreaNamed(word);
    if (area == nullptr)
        Reply(NotFound(word));
    return area;
}

void Command::Bye()
{
    Recognized("BYE");
    form_.BroadCastToArea(port_, call_, user_.AreaId, "<" + user_.CallSign + " left Area>\r");
    user_.State = DISC;
    form_.SendFile(port_, call_, "GOODBYE.INF", "\r--- GoodBye!\r");
    form_.DisconnectWhenSent(port_, OwnCall(), call_);
}

void Command::Help()
{
    Recognized("Help");
    std::string text = "\rCommand List\r";
    for (const char* entry : HelpEntries) {
        text += entry;
        text += '\r';
    }
    form_.SendFile(port_, call_, "HELP.INF", text);
}

void Command::Version()
{
    Recognized("Version");
    Reply("\r-- Palavoro Version 0.10 Build(05)\r");
}

void Command::Name()
{
    Recognized("Name");
    if (!args_.empty())
        user_.Name = args_.find('@') != std::string::npos ? std::string() : args_;
    Reply("\r-- User Name for Call(" + call_ + ") Name(" + user_.Name + ")\r");
    form_.SaveUserInfo(call_, user_.Name, user_.Info);
    if (!user_.Name.empty())
        user_.State = ONLINE;
}

void Command::Personal()
{
    Recognized("Personal");
    if (!args_.empty()) {
        user_.Info = args_.find('@') != std::string::npos ? std::string() : args_;
        form_.SaveUserInfo(call_, user_.Name, user_.Info);
    }
    Reply("\r-- User Name for Call(" + call_ + ") Personal(" + user_.Info + ")\r");
}

void Command::Channel()
{
    Recognized("Channel");
    if (args_.empty())
        args_ = std::to_string(user_.AreaId);
    const std::string word = NextWord(args_);
    if (IsNumeric(word)) {
        const TArea* area = form_.FindArea(StrToInt(word));
        Reply(area == nullptr ? NotFound(word) : "\r-- Area(" + word + ") Info(" + area->Topic + ")\r");
    } else if (word == "*") {
        form_.ListAreas(port_, call_);
    } else {
        Reply(NotFound(word));
    }
}

void Command::Info()
{
    Recognized("Info");
    if (args_.empty())
        args_ = "PALAVORO";
    const std::string word = NextWord(args_);
    if (!IsSafeSubject(word)) {
        Reply(NoInformation);
        return;
    }
    form_.SendFile(port_, call_, word + ".INF", NoInformation);
}

void Command::Who()
{
    Recognized("Who");
    if (args_.empty()) {
        form_.ListUsersByArea(port_, call_, nullptr);
        return;
    }
    const std::string word = NextWord(args_);
    TArea* area = AreaNamed(word);
    if (area == nullptr)
        Reply(NotFound(word));
    else
        form_.ListUsersByArea(port_, call_, area);
}

void Command::Topic()
{
    Recognized("Topic");
    TArea* area = AreaArgument();
    if (area == nullptr)
        return;
    const std::string& text = args_;
    if (!text.empty()) {
        if (area->Owner != call_) {
            Reply("\r-- Area(" + area->Topic + ") Not Owned by Call(" + call_ + ")\r");
            return;
        }
        area->Topic = text == "@" ? std::string() : text;
    }
    Reply("\r-- Area(" + area->Topic + ") Topic(" + area->Topic + ")\r");
}

void Command::Join()
{
    Recognized("Join");
    if (const TArea* area = AreaArgument())
        form_.JoinArea(port_, call_, user_, area->Id);
}

void Command::Follow()
{
    Recognized("Follow");
    if (args_.empty()) {
        Reply("\r-- Inform Callsign-SSID to follow\r");
        return;
    }
    const std::string word = UpperStr(NextWord(args_));
    const TUser* target = form_.FindUserByCall(word);
    if (target == nullptr) {
        Reply("\r-- Call(" + word + ") Not Found on Server\r");
        return;
    }
    const TArea* area = form_.FindArea(target->AreaId);
    if (area == nullptr) {
        Reply("\r-- Area to Follow Not Found\r");
        return;
    }
    Reply("\r-- Followed User (" + target->CallSign + ") into Area(" + std::to_string(area->Id) + "-" + area->Topic +
          ")\r");
    form_.JoinArea(port_, call_, user_, target->AreaId);
}

void Command::New()
{
    Recognized("New");
    if (!form_.CreateArea) {
        Reply("\r-- Server do not allow creation of areas\r");
        return;
    }
    const std::string topic = args_;
    if (topic.empty()) {
        Reply("\r-- New Area Requires a Description\r");
        return;
    }
    const int32_t id = form_.FreeAreaId();
    if (id == 0) {
        Reply("\r-- Unable to allocate a New Area\r");
        return;
    }
    TArea* area = form_.AddArea(id, topic, false, call_);
    if (area == nullptr) {
        Reply("\r-- Unable to create a New Area\r");
        return;
    }
    area->Topic = topic;
    area->Owner = call_;
    area->Created = TraceLog::TimeStamp();
    Reply("\r-- Created Area(" + topic + ") Topic(" + topic + ")\r");
    form_.BroadCastAll(port_, call_, "New Area(" + std::to_string(id) + ") created by Call(" + call_ + ")\r");
    form_.JoinArea(port_, call_, user_, id);
}

void Command::Msg()
{
    Recognized("Message");
    if (args_.empty()) {
        Reply("\r-- Inform Area #\r");
        return;
    }
    std::string word = NextWord(args_);
    const std::string& message = args_;
    if (!IsNumeric(word)) {
        word = UpperStr(word);
        const TUser* target = form_.FindUserByCall(word);
        if (target == nullptr) {
            Reply("\r-- Invalid Area or CallSign Informed\r");
            return;
        }
        form_.SendTo(target->Port, target->CallSign,
                     '[' + std::to_string(target->AreaId) + "]<" + target->CallSign + "@" + OwnCall() +
                         "> ((PRIVATE MESSAGE FROM " + call_ + "))" + "\r" + message + "\r");
        return;
    }
    const TArea* area = form_.FindArea(StrToInt(word));
    if (area == nullptr)
        Reply(NotFound(word));
    else
        form_.BroadCastToArea(port_, call_, area->Id, message);
}

void Command::Leave()
{
    Recognized("Leave");
    if (AreaArgument() != nullptr)
        form_.JoinArea(port_, call_, user_, 0);
}

void Command::Destroy()
{
    Recognized("Destroy");
    TArea* area = AreaArgument();
    if (area == nullptr)
        return;
    const std::string id = std::to_string(area->Id);
    if (area->Owner != call_) {
        Reply("\r-- Area(" + id + ") Not Owned by Call(" + call_ + ")\r");
        return;
    }
    if (area->Lock) {
        Reply("\r-- Area(" + id + ") Can not be removed\r");
        return;
    }
    form_.MoveAreaUsers(area->Id, 0);
    Reply("\r-- Area(" + id + ") Topic(" + area->Topic + ") Removed\r");
    form_.BroadCastAll(port_, call_, "-- Area(" + id + "-" + area->Topic + ") Removed by Call(" + call_ + ")\r");
    form_.DeleteArea(area);
}

} // namespace

void TForm1::ExecuteCommand(int32_t Port, const std::string& Call, TUser& User, const std::string& Text)
{
    try {
        std::string args = Text;
        NextField(args, '/');
        std::string token = NextWord(args);
        if (!args.empty() && args.back() == '\r')
            args.pop_back();
        WriteLog(3, "{PALAVORO} <ExecuteCommand> Token (" + token + ") Args(" + args + ")");
        if (token.empty()) {
            SendTo(Port, Call, "\r-- Invalid Command\r");
            return;
        }
        Command(*this, Port, Call, User, std::move(args)).Dispatch(UpperStr(token));
    } catch (...) {
        WriteLog(1, "{PALAVORO} Exception on Module ExecuteCommand");
    }
}

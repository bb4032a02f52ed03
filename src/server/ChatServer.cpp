#include "ChatServer.h"

ChatServer::ChatServer(ShellServices& shell, TimerFactory& timers, SocketFactory makeSocket, std::string baseDirectory)
    : baseDir(std::move(baseDirectory)), shell_(shell), timers_(timers), makeSocket_(std::move(makeSocket))
{
    portEnabled.fill(true);
}

ChatServer::~ChatServer() = default;

void ChatServer::sendTo(int32_t port, const std::string& call, const std::string& text)
{
    link_->sendData(static_cast<uint32_t>(port), PID_NO_L3, link_->callSign, call, text);
}

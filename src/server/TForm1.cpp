#include "chat.h"

TForm1::TForm1(ShellServices& shell, TimerFactory& timers, SocketFactory makeSocket, std::string baseDirectory)
    : BaseDir(std::move(baseDirectory)), shell_(shell), timers_(timers), makeSocket_(std::move(makeSocket))
{
    PortEnabled.fill(true);
}

TForm1::~TForm1() = default;

void TForm1::SendTo(int32_t Port, const std::string& Call, const std::string& Text)
{
    L2->SendData(static_cast<uint32_t>(Port), PID_NO_L3, L2->CallSign, Call, Text);
}

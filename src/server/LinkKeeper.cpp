// Registration on every port and reconnecting after a lost link.
#include "server/LinkKeeper.h"

#include <algorithm>

void LinkKeeper::reset()
{
    registered_ = false;
    waiting_ = false;
    attempting_ = false;
    delay_ = FIRST_RETRY;
    sinceNotice_ = 0;
    everLinked_ = connected_ = answered_ = notEngineSaid_ = false;
    retryTimer_.reset();
    stopRegistrationTimer();
    firstPending_ = false;
    morePending_.clear();
    morePortsAsked_ = false;
}

std::string LinkKeeper::engine() const
{
    const ServerSettings& s = p_.settings;
    return (s.hostName.empty() ? s.ipAddress : s.hostName) + ":" + std::to_string(s.tcpPort);
}

void LinkKeeper::linkUp(AgwLink& link)
{
    connected_ = true;
    answered_ = false;
    firstPending_ = true;
    morePending_.clear();
    morePortsAsked_ = false;
    registrationWaited_ = 0;
    link.setRegister(true);
    // An engine that never answers would keep every station out for good.
    if (!registrationTimer_)
        registrationTimer_ = p_.timers.createTimer();
    registrationTimer_->onTimer = [this] { registrationTick(); };
    registrationTimer_->setInterval(REGISTRATION_RETRY);
    registrationTimer_->setEnabled(true);
}

void LinkKeeper::stopRegistrationTimer()
{
    if (registrationTimer_)
        registrationTimer_->setEnabled(false);
}

void LinkKeeper::registrationTick()
{
    registrationWaited_ += REGISTRATION_RETRY;
    AgwLink* link = p_.link.get();
    if (!firstPending_ || link == nullptr) {
        stopRegistrationTimer();
        return;
    }
    // An engine answers the port list and the version at once; a service
    // that says nothing at all is not one, and is not waited on any longer.
    if (!answered_) {
        stopRegistrationTimer();
        firstPending_ = false;
        link->breakLink("nothing came back in " + std::to_string(REGISTRATION_RETRY / 1000) + " s");
        return;
    }
    if (registrationWaited_ < REGISTRATION_GIVE_UP) {
        writeLog(1, "{PALAVORO} No answer to the registration of <" + link->callSign() + ">, asking again");
        link->agwRegister(link->callSign());
        return;
    }
    stopRegistrationTimer();
    firstPending_ = false;
    link->breakLink("registration not answered in " + std::to_string(REGISTRATION_GIVE_UP / 1000) + " s");
}

void LinkKeeper::registrationAnswered(AgwLink& /*link*/, RadioPort port, const std::string& call,
                                      const std::string& data)
{
    const int rc = data.empty() ? 0 : static_cast<uint8_t>(data[0]);
    const std::string portText = std::to_string(port);
    // Only the answer to the registration we wait for decides; engines answer
    // some requests on another port, or more than once.
    if (port == 1 && firstPending_) {
        firstPending_ = false;
        stopRegistrationTimer();
        if (rc != 1) {
            p_.shell.fatalError("Unable to Register CALLSIGN with AGWPE");
            return;
        }
        registered_ = true;
        everLinked_ = true;
        notEngineSaid_ = false;
        delay_ = FIRST_RETRY;
        if (waiting_) {
            waiting_ = false;
            sinceNotice_ = 0;
            writeLog(1, "{PALAVORO} Link with AGWPE back");
            p_.shell.linkNotice(LinkNotice::Back, engine(), "Link with AGWPE back");
        }
        return;
    }
    if (morePending_.erase(port) > 0) {
        if (rc != 1)
            writeLog(1, "{PALAVORO} Port(" + portText + ") refused to register <" + call + ">, not served there");
        else
            writeLog(3, "{PALAVORO} Registered <" + call + "> on Port(" + portText + ")");
        return;
    }
    writeLog(1, "{PALAVORO} Registration answer Port(" + portText + ") <" + call + "> rc(" + std::to_string(rc) +
                    ") not asked for, ignored");
}

void LinkKeeper::portListReceived(AgwLink& link)
{
    if (morePortsAsked_)
        return;
    morePortsAsked_ = true;
    // Engines that register a callsign per radio channel hand us only the
    // connections of the ports we registered on.
    const int32_t last = std::min<int32_t>(link.portCount(), MAX_PORTS);
    for (int32_t port = 2; port <= last; ++port) {
        morePending_.insert(static_cast<uint8_t>(port));
        link.agwRegister(link.callSign(), static_cast<uint8_t>(port));
    }
}

std::string LinkKeeper::lossMessage(const std::string& reason) const
{
    if (connected_ && !answered_)
        return engine() + " answered but not as an AGW engine (" + reason + "), waiting for an engine";
    if (!everLinked_)
        return "no AGW engine answers at " + engine() + " (" + reason + "), waiting for one";
    return "Link with AGWPE lost (" + reason + "), waiting for the engine at " + engine();
}

void LinkKeeper::linkLost(const std::string& reason)
{
    const std::string message = lossMessage(reason);
    const bool notEngine = connected_ && !answered_;
    connected_ = false;
    stopRegistrationTimer();
    firstPending_ = false;
    morePending_.clear();
    morePortsAsked_ = false;
    registered_ = false;
    if (waiting_) {
        if (!attempting_)
            return; // a second notice of the same loss
        attempting_ = false;
        delay_ = std::min(delay_ * 2, LONGEST_RETRY);
        if (notEngine && !notEngineSaid_) {
            // Said once while waiting: the port is taken by something else.
            notEngineSaid_ = true;
            writeLog(1, "{PALAVORO} " + message);
            p_.shell.linkNotice(LinkNotice::StillDown, engine(), message);
        }
        writeLog(3, "{PALAVORO} No engine at " + engine() + " (" + reason + "), next try in " +
                        std::to_string(delay_ / 1000) + " s");
    } else {
        waiting_ = true;
        attempting_ = false;
        delay_ = FIRST_RETRY;
        sinceNotice_ = 0;
        // The engine has dropped every connection with the link.
        p_.drain.clear();
        p_.directory.clearRadioStations();
        notEngineSaid_ = notEngine;
        writeLog(1, "{PALAVORO} " + message);
        p_.shell.linkNotice(LinkNotice::Lost, engine(), message);
    }
    if (!retryTimer_)
        retryTimer_ = p_.timers.createTimer();
    retryTimer_->onTimer = [this] { tryAgain(); };
    retryTimer_->setInterval(delay_);
    retryTimer_->setEnabled(true);
}

void LinkKeeper::tryAgain()
{
    retryTimer_->setEnabled(false);
    AgwLink* link = p_.link.get();
    if (link == nullptr || !waiting_)
        return;
    sinceNotice_ += delay_;
    if (sinceNotice_ >= NOTICE_EVERY) {
        sinceNotice_ = 0;
        const std::string message = "Still waiting for the engine at " + engine();
        writeLog(1, "{PALAVORO} " + message);
        p_.shell.linkNotice(LinkNotice::StillDown, engine(), message);
    }
    writeLog(3, "{PALAVORO} Trying the engine at " + engine());
    attempting_ = true;
    link->reopen();
}

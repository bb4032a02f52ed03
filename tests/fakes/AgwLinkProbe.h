// The unit tests' view of the link's private state: the receive buffer, the
// port-poll timer, and the port count an engine's "G" answer would set.
#pragma once

#include "link/AgwLink.h"

#include <string>
#include <string_view>

struct AgwLinkProbe {
    // Bytes received and not yet consumed.
    static std::string_view unconsumed(const AgwLink& link)
    {
        return std::string_view(link.rxBuffer_).substr(link.rxStart_);
    }
    // Where the unconsumed bytes start in the buffer.
    static size_t consumedOffset(const AgwLink& link) { return link.rxStart_; }
    static bool framePending(const AgwLink& link) { return link.pending_; }
    static int32_t pendingLength(const AgwLink& link) { return link.rxLen_; }
    static const std::string& pendingFrom(const AgwLink& link) { return link.rxFrom_; }
    static Timer* portTimer(const AgwLink& link) { return link.portTimer_.get(); }
    static EnginePort& enginePort(AgwLink& link, int number) { return link.ports_.at(static_cast<size_t>(number)); }
    static void setPortCount(AgwLink& link, int32_t count) { link.portCount_ = count; }
    // State set directly, without the setters' checks and trace lines.
    static void setCallSign(AgwLink& link, const std::string& value) { link.callSign_ = value; }
    static void setAddress(AgwLink& link, const std::string& value) { link.address_ = value; }
    static void setTcpPort(AgwLink& link, uint32_t value) { link.tcpPort_ = value; }
    static void setRegistered(AgwLink& link, bool value) { link.registered_ = value; }
    static void setMonitor(AgwLink& link, const std::string& value) { link.monitor_ = value; }
    static bool rawFrames(const AgwLink& link) { return link.rawFrames_; }
    static bool portPolling(const AgwLink& link) { return link.portPolling_; }
};

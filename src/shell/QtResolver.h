// Neighbours' host names looked up with the system's resolver, in the
// background (Qt's host lookup): the event loop never waits for DNS.
#pragma once

#include "convers/Resolver.h"

#include <QObject>

class QtResolver : public Resolver {
public:
    void lookUp(const std::string& name, std::function<void(std::vector<std::string>)> done) override;

private:
    // Answers that come after this resolver has gone are dropped with it.
    QObject context_;
};

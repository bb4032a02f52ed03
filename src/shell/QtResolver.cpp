// Host names looked up without blocking.
#include "QtResolver.h"

#include <QHostInfo>

void QtResolver::lookUp(const std::string& name, std::function<void(std::vector<std::string>)> done)
{
    QHostInfo::lookupHost(QString::fromStdString(name), &context_, [done = std::move(done)](const QHostInfo& info) {
        std::vector<std::string> addresses;
        for (const QHostAddress& address : info.addresses())
            addresses.push_back(address.toString().toStdString());
        done(std::move(addresses));
    });
}

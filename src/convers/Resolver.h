// Looking a neighbour's host name up, without blocking: the shell's is the
// system's resolver; tests play the answers.
#pragma once

#include <functional>
#include <string>
#include <vector>

class Resolver {
public:
    virtual ~Resolver() = default;
    // `done` gets the name's numeric addresses, none when it does not resolve;
    // it may come after the caller has gone (the caller guards against that).
    virtual void lookUp(const std::string& name, std::function<void(std::vector<std::string>)> done) = 0;
};

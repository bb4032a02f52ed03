// A resolver for unit tests: it keeps the questions; the test answers them.
#pragma once

#include "convers/Resolver.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

class FakeResolver : public Resolver {
public:
    struct Question {
        std::string name;
        std::function<void(std::vector<std::string>)> done;
    };

    void lookUp(const std::string& name, std::function<void(std::vector<std::string>)> done) override
    {
        asked.push_back({name, std::move(done)});
    }
    // Every question asked so far gets these addresses.
    void answer(const std::vector<std::string>& addresses)
    {
        for (Question& question : std::exchange(asked, {}))
            question.done(addresses);
    }

    std::vector<Question> asked;
};

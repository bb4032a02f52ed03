// The answer to a sysop's request to the running server (`palavoro ctl`).
#pragma once

#include <string>

struct ControlReply {
    bool done = true; // false: refused, `text` says why in one line
    std::string text; // lines, each ending in "\n"
};

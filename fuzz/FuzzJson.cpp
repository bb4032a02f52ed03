// The status page's JSON checked by a reader other than the program's own:
// nlohmann::json parses strictly (RFC 8259, strings valid UTF-8 without raw
// control bytes). Outside strings valid JSON has no '<', '>', '&' or DEL, so
// the whole text is searched for them: the page must carry them escaped.
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <string_view>

namespace fuzz {

void checkJson(std::string_view text)
{
    if (text.find_first_of("<>&\x7f") != std::string_view::npos || !nlohmann::json::accept(text))
        std::abort();
}

} // namespace fuzz

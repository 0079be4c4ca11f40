#pragma once

// How an HTTP status is written in the error text of a rejected offer.

#include <string>
#include <string_view>

namespace ov::whip {

// The code and its standard reason phrase ("404 Not Found"), or the code and
// "<unknown status code>" when the code has none.
std::string status_text(long code);

// The error text of a non-2xx answer to the offer; `body` may be empty.
std::string rejection_text(long code, std::string_view body);

}  // namespace ov::whip

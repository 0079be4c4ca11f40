#pragma once

// The one HTTP request of a WHIP session: the offer goes out as a POST, the
// status and the body come back. Failures are the client's error texts:
// "builder error", "error sending request for url (URL)", "request or
// response body error for url (URL)", "error following redirect for url (URL)".

#include <optional>
#include <string>

#include "core/result.hpp"

namespace ov::whip {

struct HttpReply {
    long status = 0;
    std::string body;                       // read as UTF-8, invalid bytes replaced
    std::optional<std::string> body_error;  // set when the body could not be read in full
};

struct OfferPost {
    std::string endpoint;
    std::optional<std::string> bearer_token;
    std::string sdp;
};

// POSTs the offer with a 10-second limit on the whole exchange. The error text
// never contains the token.
Result<HttpReply, std::string> post_offer(const OfferPost& request);

// The URL as the client writes it in error texts ("http://10.77.0.1:8080/whip"),
// or nullopt when it cannot be parsed.
std::optional<std::string> normalised_url(const std::string& url);

}  // namespace ov::whip

#include "whip/http_post.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <mutex>
#include <string_view>

#include "core/utf8.hpp"
#include "whip/curl_handle.hpp"

namespace ov::whip {
namespace {

constexpr long kRequestLimitMs = 10'000;
constexpr long kMaxRedirects = 10;

void init_curl_once() {
    // curl_global_init is not thread-safe; negotiations may start on several threads.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct ParsedUrl {
    std::string text;    // normalised, credentials removed
    std::string scheme;  // lower case
};

std::optional<ParsedUrl> parse_url(const std::string& url) {
    const CurlUrlPtr handle = CurlUrlPtr::take(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return std::nullopt;
    }
    char* raw_scheme = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_SCHEME, &raw_scheme, 0) != CURLUE_OK) return std::nullopt;
    const CurlStringPtr scheme = CurlStringPtr::take(raw_scheme);
    // A password in the URL is a credential like the token: it stays out of error texts.
    curl_url_set(handle.get(), CURLUPART_PASSWORD, nullptr, 0);
    char* raw_host = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_HOST, &raw_host, 0) == CURLUE_OK) {
        // Host names are case-insensitive; older curl keeps them as written.
        const CurlStringPtr host = CurlStringPtr::take(raw_host);
        const gst::StringPtr lower = gst::StringPtr::take(g_ascii_strdown(host.get(), -1));
        curl_url_set(handle.get(), CURLUPART_HOST, lower.get(), 0);
    }
    char* raw_text = nullptr;
    if (curl_url_get(handle.get(), CURLUPART_URL, &raw_text, CURLU_NO_DEFAULT_PORT) != CURLUE_OK) return std::nullopt;
    const CurlStringPtr text = CurlStringPtr::take(raw_text);
    return ParsedUrl{text.get(), scheme.get()};
}

// Visible ASCII, spaces, tabs and bytes above 0x7f; no control characters, so
// a value can never end the header line early.
bool valid_header_value(std::string_view value) {
    return std::all_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte == '\t' || (byte >= 0x20 && byte != 0x7f);
    });
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xe0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

std::string lossy_text(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (size_t pos = 0; pos < bytes.size();) append_utf8(text, next_code_point(bytes, pos));
    return text;
}

bool append_header(CurlListPtr& list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (grown == nullptr) return false;  // the old list is untouched and still ours
    static_cast<void>(list.release());
    list = CurlListPtr::take(grown);
    return true;
}

// What curl hands back while the request runs (curl's callbacks run on the
// calling thread, inside curl_easy_perform).
struct Exchange {
    CURL* curl = nullptr;
    std::string body;
    bool final_headers_done = false;  // the final response's headers are in; what fails now is the body
};

size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* exchange = static_cast<Exchange*>(user);
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        // A new response (after 100 Continue or a redirect) starts over.
        exchange->final_headers_done = false;
        exchange->body.clear();
    } else if (line == "\r\n" || line == "\n") {
        long status = 0;
        curl_easy_getinfo(exchange->curl, CURLINFO_RESPONSE_CODE, &status);
        exchange->final_headers_done = status >= 200;
    }
    return size * count;
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
    static_cast<Exchange*>(user)->body.append(data, size * count);
    return size * count;
}

}  // namespace

std::optional<std::string> normalised_url(const std::string& url) {
    auto parsed = parse_url(url);
    if (!parsed) return std::nullopt;
    return std::move(parsed->text);
}

Result<HttpReply, std::string> post_offer(const OfferPost& request) {
    init_curl_once();
    const auto url = parse_url(request.endpoint);
    if (!url) return std::string("builder error");
    if (url->scheme != "http" && url->scheme != "https") return fmt::format("builder error for url ({})", url->text);

    CurlListPtr headers;
    if (!append_header(headers, "Content-Type: application/sdp")) return std::string("builder error");
    if (request.bearer_token) {
        if (!valid_header_value(*request.bearer_token)) return std::string("builder error");
        if (!append_header(headers, "Authorization: Bearer " + *request.bearer_token)) {
            return std::string("builder error");
        }
    }
    // curl would otherwise ask larger offers to wait for "100 Continue".
    if (!append_header(headers, "Expect:")) return std::string("builder error");

    const CurlPtr curl = CurlPtr::take(curl_easy_init());
    if (!curl) return std::string("builder error");
    Exchange exchange{curl.get(), {}, false};
    CURL* c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, request.endpoint.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, kRequestLimitMs);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.sdp.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.sdp.size()));
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // 307 and 308 keep the POST and its body by themselves; these keep it on 301, 302 and 303 too.
    curl_easy_setopt(c, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &exchange);

    const CURLcode code = curl_easy_perform(c);
    HttpReply reply;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
    if (code == CURLE_OK) {
        reply.body = lossy_text(exchange.body);
        return reply;
    }
    if (code == CURLE_TOO_MANY_REDIRECTS) return fmt::format("error following redirect for url ({})", url->text);
    if (!exchange.final_headers_done) return fmt::format("error sending request for url ({})", url->text);
    reply.body = lossy_text(exchange.body);
    reply.body_error = fmt::format("request or response body error for url ({})", url->text);
    return reply;
}

}  // namespace ov::whip

#pragma once

// Owning handles for libcurl's handle families, on the same template as the
// GStreamer handles. None of them is shared, so only take() and moves are
// used; copying one would not compile (the traits have no ref()).

#include <curl/curl.h>

#include "gst/handle.hpp"

namespace ov::whip {

struct CurlEasyTraits {
    static void unref(CURL* p) { curl_easy_cleanup(p); }
};
struct CurlUrlTraits {
    static void unref(CURLU* p) { curl_url_cleanup(p); }
};
struct CurlListTraits {
    static void unref(curl_slist* p) { curl_slist_free_all(p); }
};
struct CurlStringTraits {
    static void unref(char* p) { curl_free(p); }
};

using CurlPtr = gst::Handle<CURL, CurlEasyTraits>;
using CurlUrlPtr = gst::Handle<CURLU, CurlUrlTraits>;
using CurlListPtr = gst::Handle<curl_slist, CurlListTraits>;
using CurlStringPtr = gst::Handle<char, CurlStringTraits>;

}  // namespace ov::whip

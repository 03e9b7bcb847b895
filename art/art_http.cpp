#include "wallet/http_client.h"

#include <cstdint>
#include <string>

size_t curl_write_to_string(char* data, size_t size, size_t nmemb, void* userdata) {
    if (size != 0 && nmemb > SIZE_MAX / size) return 0;
    const size_t count = size * nmemb;
    if (!userdata || count == 0) return count;
    // An exception must not unwind through libcurl's C frames; a short count ends the transfer
    // with a write error instead.
    try {
        static_cast<std::string*>(userdata)->append(data, count);
    } catch (...) {
        return 0;
    }
    return count;
}

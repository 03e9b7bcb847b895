// The service endpoints and the platform host, gathered in one record. The shipped program uses
// the defaults; tests point the record at fakes on the loopback address.
#pragma once

#include <string>

// How the program treats one service host: requests a second (0 = unpaced), the burst the
// service lets through at once, and the requests sent there side by side.
struct HostPace {
    double per_second = 0;
    int burst = 1;
    int parallel = 16;
};

struct ServiceSettings {
    // WhatsOnChain API, including "/v1/bsv/main".
    std::string woc_base = "https://api.whatsonchain.com/v1/bsv/main";
    // GorillaPool 1Sat ordinals API ("/txos/...", "/bsv20/...", "/content/...").
    std::string gorillapool_base = "https://ordinals.gorillapool.io/api";
    // GorillaPool's ARC broadcaster ("/v1/tx" is appended).
    std::string arc_base = "https://arc.gorillapool.io";
    // The platform host: oracle index, submit, paymail and bsvalias services.
    std::string platform_base = "https://kestrava.net";
    // The platform host's name and the fixed IPv4 address it is pinned to.
    std::string platform_host = "kestrava.net";
    std::string platform_ip = "198.51.100.23";
    // Domain of the platform's paymail names (alias@domain).
    std::string paymail_domain = "kestrava.net";
    // The local bsvalias service on the loopback host, asked after the platform host for a
    // recipient's ordinals address.
    std::string local_bsvalias_base = "https://127.0.0.1:25443";
    // The maker's update page: its text names the latest build's version; the desktop program
    // offers it to the user when that is newer than its own.
    std::string update_page = "https://corvane.net/update";
    // WhatsOnChain's free service answers three requests a second and refuses the rest with 429;
    // more than two at once would only queue there. The burst is one short of the service's, so a
    // request that travels a little faster than the one before it still finds a token.
    HostPace woc_pace = {3, 2, 2};
    // Every other host: no published rate, but never a whole thread pool at once.
    HostPace host_pace = {0, 1, 16};
    // The longest a transaction's post waits for a service's answer.
    unsigned post_timeout_s = 60;
};

// A copy of the settings in force.
ServiceSettings service_settings();
// Replaces the settings for the whole process (tests only).
void set_service_settings(const ServiceSettings& settings);

// The key under which a read remembers what a service answered: the service's base, then `item`,
// so what one service answered never answers for another.
std::string service_key(const std::string& base, const std::string& item);
// The same for what is read from WhatsOnChain and the platform host in force together.
std::string service_key(const std::string& item);

#include "wallet/settings.h"

#include <mutex>

namespace {
std::mutex g_settings_mutex;
ServiceSettings g_settings;
} // namespace

ServiceSettings service_settings() {
    std::lock_guard<std::mutex> lock(g_settings_mutex);
    return g_settings;
}

void set_service_settings(const ServiceSettings& settings) {
    std::lock_guard<std::mutex> lock(g_settings_mutex);
    g_settings = settings;
}

std::string service_key(const std::string& base, const std::string& item) {
    return base + "|" + item;
}

std::string service_key(const std::string& item) {
    const ServiceSettings settings = service_settings();
    return service_key(settings.woc_base, service_key(settings.platform_base, item));
}

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

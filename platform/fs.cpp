#include "platform/fs.h"

bool platform_write_file_aside(const std::string& path, const std::string& data, bool text_mode, int attempts,
                               const std::function<void()>& pause, const std::string& tmp_suffix) {
    const std::string tmp = path + tmp_suffix;
    if (platform_write_file(tmp, data, text_mode)) {
        for (int attempt = 1;; ++attempt) {
            if (platform_atomic_replace(tmp, path)) return true;
            if (attempt >= attempts) break;
            if (pause) pause();
        }
    }
    platform_remove_file(tmp);
    return false;
}

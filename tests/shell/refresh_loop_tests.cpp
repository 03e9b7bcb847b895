// The window's Refresh, many times over, against the fake services over TLS (tls_fake_server),
// so that Schannel meets real handshakes and kept-alive connections as the shipped program does.
// Runs only when CORVANE_TLS_LOOP names the settings file the server wrote; tests/wine_refresh_loop.sh
// starts both and counts crashes from the lines printed here.
#include "art/window_reads.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/http_client.h"
#include "wallet/settings.h"

#include <wincrypt.h>
#include <windows.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

std::map<std::string, std::string> read_loop_settings(const std::string& path) {
    std::map<std::string, std::string> values;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

// The server's self-signed certificate as a trusted root of this user for the test's life, so
// Schannel checks the chain as it does for the real services.
struct TrustedRoot {
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT added = nullptr;
    explicit TrustedRoot(const std::string& pem) {
        DWORD size = 0;
        if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) return;
        std::vector<BYTE> der(size);
        if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr))
            return;
        store = CertOpenSystemStoreA(0, "ROOT");
        if (store)
            CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                             CERT_STORE_ADD_REPLACE_EXISTING, &added);
    }
    ~TrustedRoot() {
        if (added) CertDeleteCertificateFromStore(added); // frees the context
        if (store) CertCloseStore(store, 0);
    }
};

std::map<std::string, int> connections(const std::string& control_url) {
    std::string body, error;
    std::map<std::string, int> counts;
    if (!http_get(control_url + "/connections", body, error, 5, false)) return counts;
    const nlohmann::json reply = nlohmann::json::parse(body, nullptr, false);
    for (const auto& item : reply.items())
        if (item.value().is_number_integer()) counts[item.key()] = item.value().get<int>();
    return counts;
}

} // namespace

TEST(RefreshLoop, RefreshesOverSchannelCompleteWithTheirRecords) {
    const char* settings_path = std::getenv("CORVANE_TLS_LOOP");
    if (!settings_path || !*settings_path) GTEST_SKIP() << "CORVANE_TLS_LOOP names no fake server's settings";
    const char* count_text = std::getenv("CORVANE_TLS_LOOP_COUNT");
    const int refreshes = count_text ? std::atoi(count_text) : 100;
    std::map<std::string, std::string> loop = read_loop_settings(settings_path);
    ASSERT_FALSE(loop["woc"].empty()) << settings_path;
    const std::string cert_path = (loop["cert"].rfind('/', 0) == 0 ? "Z:" : "") + loop["cert"];
    const TrustedRoot root(test_read_file(cert_path));
    ASSERT_NE(root.added, nullptr) << "cannot trust " << cert_path;

    TempDataDir data_dir;
    ServiceSettings s;
    s.woc_base = loop["woc"];
    s.arc_base = loop["arc"];
    s.platform_base = loop["platform"];
    s.gorillapool_base = loop["gorillapool"];
    s.woc_pace = s.host_pace; // the fake has no rate to keep to
    set_service_settings(s);
    write_test_wallet_file("loop");
    ASSERT_TRUE(load_wallet_id("loop"));

    std::map<std::string, int> before = connections(loop["control"]);
    ASSERT_FALSE(before.empty()) << "the control server does not answer";
    // After the first Refresh the kept connections serve the later ones: how many requests run side
    // by side differs from one Refresh to the next on a busy machine, so a few more may be opened
    // now and then, but never a handshake per Refresh.
    std::map<std::string, int> most_after_first, total_after_first;
    for (int i = 1; i <= refreshes; ++i) {
        // As the window's jobs run them: the balance beside the art rows, then the gallery.
        std::int64_t sats = 0;
        bool balance_read = false;
        std::thread balance([&] { balance_read = read_window_balance(sats); });
        std::vector<KvCofferlyOrdRow> rows;
        bool index_read = false;
        const std::string listing = read_art_rows(rows, index_read);
        std::vector<SpotLoad> spots;
        std::set<std::string> closed;
        read_gallery(spots, closed);
        balance.join();
        EXPECT_TRUE(balance_read) << i;
        EXPECT_EQ(sats, 50000) << i;
        EXPECT_EQ(listing, "") << i;
        ASSERT_EQ(spots.size(), 10u) << i;
        EXPECT_TRUE(spots[0].shown) << i << " " << spots[0].error;
        EXPECT_EQ(spots[0].asks.size(), 1u) << i;

        const std::map<std::string, int> after = connections(loop["control"]);
        std::string opened;
        for (const auto& [host, count] : after) {
            opened += " " + host + " " + std::to_string(count - before[host]);
            if (i > 1) most_after_first[host] = std::max(most_after_first[host], count - before[host]);
            if (i > 1) total_after_first[host] += count - before[host];
        }
        before = after;
        std::printf("refresh-loop: refresh %d done, new connections:%s\n", i, opened.c_str());
        std::fflush(stdout);
    }
    for (const auto& [host, most] : most_after_first) {
        std::printf("refresh-loop: new connections to %s in the later Refreshes: %d, at most %d in one\n", host.c_str(),
                    total_after_first[host], most);
        EXPECT_LE(total_after_first[host], std::max(4, (refreshes - 1) / 4)) << host;
    }
    std::fflush(stdout);
}

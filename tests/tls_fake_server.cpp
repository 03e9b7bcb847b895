// The fake services over TLS, for the Windows program under Wine to meet a real handshake: a funded
// test wallet and frame 1 of the gallery holding a paired artwork's exhibit and an ask. Writes the services' URLs
// to a settings file, then serves until SIGINT or SIGTERM. A fifth server, named in the file as
// "control", answers "/connections" with the TLS connections each service has accepted so far.
//
//   tls_fake_server <settings file to write> <certificate PEM> <key PEM>
#include "art/gallery_frames.h"
#include "fakes/fake_gorillapool.h"
#include "fakes/fake_identity.h"
#include "fakes/fake_oracle.h"
#include "fakes/registry_fixture.h"
#include "support/wallet_fixture.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: tls_fake_server SETTINGS_FILE CERT_PEM KEY_PEM\n");
        return 2;
    }
    // Blocked before any server thread starts, so only sigwait below takes them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    serve_fakes_over_tls(argv[2], argv[3]);
    FakeChain chain;
    FakeGorillaPool gp{chain.ledger};
    FakeIdentity ids;
    serve_fake_identity(chain.platform, ids);
    FakeServer control;
    control.on("GET", "/connections", [&](const FakeRequest&) {
        return json_reply({{"woc", chain.woc.connection_count()},
                           {"arc", chain.arc.connection_count()},
                           {"platform", chain.platform.connection_count()},
                           {"gorillapool", gp.server.connection_count()}});
    });

    chain.ledger.fund(kTestReceive0, 50000);
    const TestKey alice = test_key_from_byte(0x11);
    ids.set_key("alice@kestrava.net", alice.pub);
    ids.set_key("bob@kestrava.net", test_key_from_byte(0x22).pub);
    const std::string art = fake_inscribe(chain, alice.hash, "image/png", "png-bytes");
    const std::string cert = fake_inscribe(chain, alice.hash, "application/json", "{}");
    const std::string sha256(64, 'e');
    fake_pair_tx(
        chain, alice,
        fake_signed_record(fake_art_record("art_pair", "alice", 50,
                                           {{"pic", art}, {"cert", cert}, {"sha256", sha256}, {"owner", alice.pub}}),
                           0x11));
    chain.ledger.mine(); // the owner hangs after pairing
    nlohmann::json show = fake_art_record("art_show", "alice", 100,
                                          {{"spot", spot_label(1)},
                                           {"pic", art},
                                           {"cert", cert},
                                           {"sha256", sha256},
                                           {"price", "1000"},
                                           {"pay_addr", alice.address}});
    nlohmann::json ask = fake_art_record(
        "art_gask", "bob", 120,
        {{"spot", spot_label(1)}, {"pic", art}, {"price_sats", "1000"}, {"buyer", test_key_from_byte(0x22).pub}});
    if (fake_post_record(chain, spot_row(1).watch, fake_signed_record(show, 0x11)).empty() ||
        fake_post_record(chain, spot_row(1).watch, fake_signed_record(ask, 0x22)).empty()) {
        std::fprintf(stderr, "tls_fake_server: the ledger refused the frame's records\n");
        return 1;
    }
    chain.ledger.mine();

    const ServiceSettings s = settings_for(chain, gp);
    std::ofstream out(argv[1], std::ios::trunc);
    out << "woc=" << s.woc_base << "\narc=" << s.arc_base << "\nplatform=" << s.platform_base
        << "\ngorillapool=" << s.gorillapool_base << "\ncontrol=" << control.base_url() << "\ncert=" << argv[2] << "\n";
    out.close();
    std::printf("tls_fake_server: serving, settings in %s\n", argv[1]);
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stop_signals, &signal);
    std::printf("tls_fake_server: connections woc %d arc %d platform %d gorillapool %d\n", chain.woc.connection_count(),
                chain.arc.connection_count(), chain.platform.connection_count(), gp.server.connection_count());
    return 0;
}

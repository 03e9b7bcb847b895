#include "shell/art_list.h"
#include "shell/gallery_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kMe = std::string(66, 'a');
const std::string kOther = std::string(66, 'b');
const std::string kThird = std::string(66, 'd');
const std::string kPic = std::string(64, 'c');

SpotLoad make_frame(const std::string& owner, bool shown, std::int64_t price) {
    SpotLoad frame;
    frame.spot = 3;
    frame.pic = kPic;
    frame.owner = owner;
    frame.shown = shown;
    frame.price = price;
    return frame;
}

SpotLoad with_ask(SpotLoad frame, const std::string& buyer) {
    SpotAsk ask;
    ask.buyer = buyer;
    frame.asks.push_back(ask);
    return frame;
}

SpotLoad with_accept(SpotLoad frame, const std::string& buyer) {
    SpotAccept accept;
    accept.buyer = buyer;
    frame.accepts.push_back(accept);
    return frame;
}

SpotLoad with_funded(SpotLoad frame, const std::string& buyer) {
    SpotFunded funded;
    funded.buyer = buyer;
    frame.funded.push_back(funded);
    return frame;
}

KvCofferlyOrdRow held_artwork() {
    KvCofferlyOrdRow row;
    row.key = std::string(64, 'C') + "_0";
    row.kind = "Artwork";
    return row;
}

class GalleryStateTest : public testing::Test {
protected:
    void SetUp() override {
        art_rows.clear();
        gallery_spots.clear();
        paid_hangings.clear();
    }
    void TearDown() override { SetUp(); }
};

TEST_F(GalleryStateTest, SaleStatusLabels) {
    std::string upper_me = kMe;
    for (char& c : upper_me)
        c = static_cast<char>(c - 'a' + 'A');
    SpotLoad no_pic = make_frame(kMe, true, 5);
    no_pic.pic.clear();
    const struct {
        const char* name;
        SpotLoad frame;
        bool holds;
        const wchar_t* label;
    } cases[] = {
        {"no exhibit", no_pic, false, L""},
        {"owner, funded, hidden", with_funded(with_accept(make_frame(kMe, false, 5), kOther), kOther), false,
         L"Ready to complete"},
        {"owner, only a stranger funded", with_funded(with_accept(make_frame(kMe, true, 5), kOther), kThird), false,
         L"Offer accepted"},
        {"owner, hidden", with_accept(make_frame(kMe, false, 5), kOther), false, L""},
        {"owner, accepted", with_ask(with_accept(make_frame(kMe, true, 5), kOther), kOther), false, L"Offer accepted"},
        {"owner, asked", with_ask(make_frame(kMe, true, 5), kOther), false, L"Offer made"},
        {"owner in capitals, priced", make_frame(upper_me, true, 1), false, L"For sale"},
        {"owner, no price", make_frame(kMe, true, 0), false, L"On display"},
        {"buyer paid", with_funded(with_accept(make_frame(kOther, false, 5), kMe), kMe), false, L"Paid"},
        {"buyer accepted, a stranger funded", with_funded(with_accept(make_frame(kOther, true, 5), kMe), kThird), false,
         L"Offer accepted"},
        {"two buyers accepted, the other funded",
         with_funded(with_accept(with_accept(make_frame(kOther, true, 5), kMe), kThird), kThird), false,
         L"Offer accepted"},
        {"buyer holds it now", with_accept(make_frame(kOther, true, 5), kMe), true, L""},
        {"buyer accepted, hidden", with_accept(make_frame(kOther, false, 5), kMe), false, L"Taken down"},
        {"stranger, hidden", make_frame(kOther, false, 5), false, L""},
        {"buyer accepted", with_accept(make_frame(kOther, true, 5), kMe), false, L"Offer accepted"},
        {"buyer asked", with_ask(make_frame(kOther, true, 5), kMe), false, L"Offer sent"},
        {"stranger, 1 sat", make_frame(kOther, true, 1), false, L"For sale"},
        {"stranger, no price", make_frame(kOther, true, -1), false, L"On display"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        art_rows.clear();
        if (c.holds) art_rows.push_back(held_artwork());
        EXPECT_EQ(sale_status_label(&c.frame, c.frame.pic, kMe), c.label);
    }
    EXPECT_EQ(sale_status_label(nullptr, kPic, kMe), L"");

    // A payment sent in this run shows at once, before any read lists it.
    art_rows.clear();
    SpotLoad frame = with_accept(make_frame(kOther, true, 5), kMe);
    frame.show_txid = "s1";
    paid_hangings.insert("s1");
    EXPECT_EQ(sale_status_label(&frame, frame.pic, kMe), L"Paid");
}

TEST_F(GalleryStateTest, NoWalletIsNobodysOwnerOrBuyer) {
    // A frame whose owner and buyers were never filled in must not read as an empty wallet key's.
    const SpotLoad frame = with_funded(with_accept(make_frame("", true, 0), ""), "");
    EXPECT_EQ(sale_status_label(&frame, frame.pic, ""), L"On display");
    EXPECT_TRUE(build_gallery_buy_rows({frame}, {}, "").empty());
}

TEST_F(GalleryStateTest, BuyRowsListOnlyPiecesThisWalletIsBuying) {
    SpotLoad asked = with_ask(make_frame(kOther, true, 700), kMe);
    asked.spot = 1;
    asked.handle = "carol";
    SpotLoad titled = with_accept(make_frame(kOther, true, 900), kMe);
    titled.spot = 2;
    titled.pic = std::string(64, 'd');
    titled.title = "Harbour";
    SpotLoad mine = with_ask(make_frame(kMe, true, 5), kOther);
    SpotLoad strangers = make_frame(kOther, true, 5);
    SpotLoad closed = with_accept(make_frame(kOther, false, 5), kMe);
    closed.pic = std::string(64, 'e');
    SpotLoad held = with_ask(make_frame(kOther, true, 5), kMe);
    held.pic = std::string(64, 'C');
    art_rows.push_back(held_artwork());
    // The held artwork shares kPic; give the first frame its own so only `held` is skipped for it.
    asked.pic = std::string(64, 'f');

    const std::vector<GalleryBuyRow> rows =
        build_gallery_buy_rows({asked, titled, mine, strangers, closed, held}, {std::string(64, 'e')}, kMe);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].spot, 1);
    EXPECT_EQ(rows[0].title, asked.pic);
    EXPECT_EQ(rows[0].handle, "carol");
    EXPECT_EQ(rows[0].price, 700);
    EXPECT_EQ(rows[0].status, L"Offer sent");
    EXPECT_EQ(rows[1].title, "Harbour");
    EXPECT_EQ(rows[1].status, L"Offer accepted");
}

TEST_F(GalleryStateTest, AFrameStillBeingReadIsNamed) {
    SpotLoad reading;
    reading.spot = 7;
    reading.reading = kFrameTitleReading;
    EXPECT_EQ(gallery_reading_text({make_frame(kOther, true, 1)}), "");
    EXPECT_EQ(gallery_reading_text({make_frame(kOther, true, 1), reading}),
              "Frame 7: Title still being read. Refresh to go on.");
}

TEST_F(GalleryStateTest, FindsTheFrameOfAnArtwork) {
    gallery_spots = {make_frame(kOther, true, 1), make_frame(kOther, false, 3), make_frame(kOther, true, 2)};
    gallery_spots[0].pic.clear();
    const SpotLoad* found = find_spot_for_art(std::string(64, 'C') + "_0");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->price, 2);
    EXPECT_EQ(find_spot_for_art(""), nullptr);
    EXPECT_EQ(find_spot_for_art(std::string(64, 'd')), nullptr);
}

} // namespace

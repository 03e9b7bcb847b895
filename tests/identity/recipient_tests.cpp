#include "identity/recipient.h"

#include "identity/paymail_registry.h"
#include "support/temp_dir.h"
#include "support/wallet_fixture.h"
#include "wallet/settings.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

TEST(RecipientLocal, AddressesHandlesAndForeignDomains) {
    TempDataDir dir;
    const std::string domain = service_settings().paymail_domain;
    const std::string valid = kTestReceive0;
    const std::string valid2 = kTestReceive1;
    std::string broken = valid;
    broken.back() = broken.back() == 'z' ? 'y' : 'z'; // plausible, checksum fails
    const nlohmann::json registry = {{"names",
                                      {{"bob", {{"pubkey", "02ab"}, {"ordAddress", valid}}},
                                       {"dave", {{"ord", valid2}}},
                                       {"bob1", {{"ordAddress", valid2}}},
                                       {"eve", {{"ordAddress", broken}}},
                                       {"fay", "not an object"}}}};
    test_write_file(paymail_registry_path(), registry.dump());
    const std::string before = test_read_file(paymail_registry_path());

    struct Row {
        std::string text, address, error, handle;
    } rows[] = {
        {"  " + valid + " \n", valid, "", ""},
        {" \t ", "", "enter their handle or paymail.", ""},
        {"bob@other.example", "", "use their handle or an @" + domain + " paymail.", ""},
        {"@Bob", valid, "", ""},
        {"$BOB@" + domain, valid, "", ""},
        {"dave", valid2, "", ""},
        {"eve", "", "", "eve"},
        {"fay", "", "", "fay"},
        {"Nobody", "", "", "nobody"},
        // Text outside the alias alphabet is refused, never trimmed into another label.
        {broken, "", kRecipientAlphabetError, ""},
        {"bob+1", "", kRecipientAlphabetError, ""},
        {"Bob!1", "", kRecipientAlphabetError, ""},
        {"bob 1", "", kRecipientAlphabetError, ""},
        {"b\xC3\xB6"
         "b1",
         "", kRecipientAlphabetError, ""},
        {"bob1", valid2, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::string error = "stale", handle = "stale";
        EXPECT_EQ(resolve_recipient_local(row.text, error, handle), row.address);
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(handle, row.handle);
    }
    EXPECT_EQ(test_read_file(paymail_registry_path()), before) << "looking up writes nothing";
}

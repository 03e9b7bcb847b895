// Signing of the typed messages this program puts on chain in its own name: fills in who speaks
// from the connected wallet, stamps the time, signs the canonical text with the identity key and
// checks the result with the full verification before handing it back.
#pragma once

#include "identity/typed_message.h"

#include <string>

// Signs `msg` (a JSON object, changed in place) by the flow its protocol and type choose. True
// when it carries `pubkey` and `sig` and passes verify_typed_message; false with the reason in
// `error`, the message then possibly holding some of the filled fields. Takes the wallet mutex
// itself and may reach the network for the identity check: call it without the wallet mutex.
bool sign_typed_message(TypedMessage& msg, std::string& error);

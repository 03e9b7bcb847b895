// Puts the process-wide wallet and coin state back to its start, so each test begins unloaded.
#pragma once

// Clears every field of the wallet state (wallet id included), wipes its secrets, and empties the
// spent set, the change coins and the coin caches.
void reset_wallet_state_for_tests();

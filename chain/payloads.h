// Records put on chain as the data of an OP_FALSE OP_RETURN output beside small payments: the
// user's report with its fee, the signed art pair with the pair fee and a hook at each title
// watch, and a gallery record with a hook at its frame watch. Each is paid through
// pay_with_retry and answers "success: " and the transaction id, or a text that begins "error: ".
#pragma once

#include "chain/tx.h"

#include <cstdint>
#include <string>
#include <vector>

// The platform's fixed addresses for reports: the fee, and the oracle that reads them.
constexpr const char* kReportFeeAddress = "18Z3gPeYeJG7tSvmfNNk95JvBkd5CnSnZn";
constexpr const char* kReportOracleAddress = "12EjH2zhZQNRJp1tcSYacrmhpK5rreHQto";

constexpr std::uint64_t kReportFeeSats = 1000;
constexpr std::uint64_t kPairFeeSats = 200000;
// A hook output marks a watch address with the smallest payment there is.
constexpr std::uint64_t kHookSats = 1;

// A report (compact JSON of a signed report message): 1000 sats to the report fee address, 1 sat
// to the report oracle, then the record.
std::string send_report_payload(const std::string& payload);

// The signed art pair: 200000 sats to the pair fee address, 1 sat to the ZUZ and to the OTX
// watch, then the record.
std::string send_art_pair_payload(const std::string& payload, const std::string& zuz_address,
                                  const std::string& otx_address, const std::string& pair_fee_address);

// A signed gallery record: 1 sat to the frame's watch, then the record; the coins that an offer
// transaction embedded in the record spends are not used to pay for it.
std::string send_gallery_payload(const std::string& payload, const std::string& watch_address);

// Reserve keys (lower-case txid "_" index) of the inputs of the raw transaction in the payload's
// string "offer" (hex; other characters are dropped). Leaves keys empty when there is no such
// string or it does not hold a transaction.
void offer_payload_inputs(const std::string& payload, std::vector<std::string>& keys);

// The record output: 0 sats, OP_FALSE OP_RETURN and one push of the payload.
TxOutput payload_output(const std::string& payload);

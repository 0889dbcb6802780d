#pragma once

// Padding of the queries that go to an encrypted server (EDNS padding, RFC 7830, with the block
// length of RFC 8467): every query of a size class leaves the machine at the same length, so
// that whoever carries the encrypted stream cannot tell the name asked from its length.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// What PadForEncryptedServer did to a query.
enum class QueryPadding {
    // Left as it was: not one question with at most an EDNS record behind it (a signed query
    // keeps its signature so).
    kNone,
    // Its own EDNS record carries the padding.
    kPadded,
    // An EDNS record was added to carry the padding: the client's query had none, so the reply's
    // must go before the client gets it (RemoveReplyOpt).
    kOptAdded,
};

// Pads a query to the next multiple of 128 bytes with an EDNS padding option, replacing any the
// query had; the rest of its EDNS record (UDP size, DO bit, other options) stays.
QueryPadding PadForEncryptedServer(std::vector<std::uint8_t>& query);

// Takes the EDNS record out of a reply, for a client that sent none and so must get none (RFC
// 6891): the reply's new length. The reply stays as it is, its length returned, when the record
// is not its last, when the record carries an extended response code, or when the reply cannot
// be read that far.
std::size_t RemoveReplyOpt(std::span<std::uint8_t> reply);

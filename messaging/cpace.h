#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <cstddef>

// CPace over ristretto255 with SHA-512 (draft-irtf-cfrg-cpace-13), the
// pieces the handshake is built from, each a plain function of its inputs
// so the tests can feed them published values. Every function that can meet
// a bad point says so by its result; none keeps a secret beyond its call.

namespace natter::cpace {

inline constexpr std::size_t kPointBytes = 32;
inline constexpr std::size_t kScalarBytes = 32;
inline constexpr std::size_t kIskBytes = 64;
using Point = std::array<unsigned char, kPointBytes>;
using Scalar = std::array<unsigned char, kScalarBytes>;
using Isk = std::array<unsigned char, kIskBytes>;

// Initialises libsodium once; aborts where it cannot (no source of
// randomness). Every function here calls it first where libsodium needs it.
void ensureSodium();

// "CPaceRistretto255"
QByteArrayView dsi();

// The unsigned LEB128 encoding of `n`; `x` behind its encoded length.
QByteArray leb128(std::size_t n);
QByteArray prependLen(QByteArrayView x);

// lv_cat(DSI, PRS, zero padding, CI, sid), the padding filling SHA-512's
// 128-byte input block. Holds the password: wipe it after use.
QByteArray generatorString(QByteArrayView prs, QByteArrayView ci, QByteArrayView sid);

// The ristretto255 one-way map of the SHA-512 of `input`.
bool hashToGroup(QByteArrayView input, Point &element);

// The password's generator: hashToGroup of the generator string. Fails only
// when libsodium does.
bool calculateGenerator(QByteArrayView prs, QByteArrayView ci, QByteArrayView sid, Point &g);

// A secret scalar drawn uniformly from the nonzero scalars.
Scalar randomScalar();

// y * g. Fails when `g` is not a valid encoding or the product is the identity.
bool scalarMult(const Scalar &y, const Point &g, Point &product);

// The other party's share as received: a canonical encoding of an element
// other than the identity.
bool isValidShare(QByteArrayView share);

// The message a party sends: lv_cat(Y, AD).
QByteArray message(const Point &share, QByteArrayView ad);

// ISK = SHA-512(lv_cat(DSI || "_ISK", sid, K) || MSGa || MSGb).
bool intermediateKey(QByteArrayView sid, const Point &k, QByteArrayView msgA, QByteArrayView msgB, Isk &isk);

} // namespace natter::cpace

#include "messaging/cpace.h"

#include <sodium.h>

#include <cstdlib>

namespace natter::cpace {

namespace {

constexpr std::size_t kHashBlockBytes = 128; // SHA-512's s_in_bytes

const unsigned char *bytes(QByteArrayView v)
{
    return reinterpret_cast<const unsigned char *>(v.data());
}

void wipe(QByteArray &b)
{
    if (!b.isEmpty())
        sodium_memzero(b.data(), static_cast<std::size_t>(b.size()));
}

} // namespace

void ensureSodium()
{
    static const bool ready = sodium_init() >= 0;
    if (!ready)
        std::abort();
}

QByteArrayView dsi()
{
    return "CPaceRistretto255";
}

QByteArray leb128(std::size_t n)
{
    QByteArray out;
    do {
        unsigned char byte = n & 0x7F;
        n >>= 7;
        if (n != 0)
            byte |= 0x80;
        out.append(static_cast<char>(byte));
    } while (n != 0);
    return out;
}

QByteArray prependLen(QByteArrayView x)
{
    QByteArray out = leb128(static_cast<std::size_t>(x.size()));
    out.append(x);
    return out;
}

QByteArray generatorString(QByteArrayView prs, QByteArrayView ci, QByteArrayView sid)
{
    const std::size_t used = 1 + leb128(static_cast<std::size_t>(prs.size())).size() +
                             static_cast<std::size_t>(prs.size()) + prependLen(dsi()).size();
    const std::size_t zpad = kHashBlockBytes > used ? kHashBlockBytes - used : 0;
    QByteArray out = prependLen(dsi());
    out.append(leb128(static_cast<std::size_t>(prs.size())));
    out.append(prs);
    out.append(leb128(zpad));
    out.append(QByteArray(static_cast<qsizetype>(zpad), '\0'));
    out.append(prependLen(ci));
    out.append(prependLen(sid));
    return out;
}

bool hashToGroup(QByteArrayView input, Point &element)
{
    ensureSodium();
    unsigned char hash[crypto_hash_sha512_BYTES];
    const bool ok =
        crypto_hash_sha512(hash, bytes(input), static_cast<unsigned long long>(input.size())) == 0 &&
        crypto_core_ristretto255_from_hash(element.data(), hash) == 0;
    sodium_memzero(hash, sizeof hash);
    return ok;
}

bool calculateGenerator(QByteArrayView prs, QByteArrayView ci, QByteArrayView sid, Point &g)
{
    QByteArray genStr = generatorString(prs, ci, sid);
    const bool ok = hashToGroup(genStr, g);
    wipe(genStr);
    return ok;
}

Scalar randomScalar()
{
    ensureSodium();
    Scalar y{};
    crypto_core_ristretto255_scalar_random(y.data()); // uniform in ]0, L[
    return y;
}

bool scalarMult(const Scalar &y, const Point &g, Point &product)
{
    ensureSodium();
    if (crypto_core_ristretto255_is_valid_point(g.data()) != 1)
        return false;
    // Fails when the product is the identity.
    return crypto_scalarmult_ristretto255(product.data(), y.data(), g.data()) == 0;
}

bool isValidShare(QByteArrayView share)
{
    return share.size() == static_cast<qsizetype>(kPointBytes) &&
           crypto_core_ristretto255_is_valid_point(bytes(share)) == 1 &&
           sodium_is_zero(bytes(share), kPointBytes) == 0;
}

QByteArray message(const Point &share, QByteArrayView ad)
{
    QByteArray out = prependLen(QByteArrayView(share.data(), share.size()));
    out.append(prependLen(ad));
    return out;
}

bool intermediateKey(QByteArrayView sid, const Point &k, QByteArrayView msgA, QByteArrayView msgB, Isk &isk)
{
    crypto_hash_sha512_state state;
    bool ok = crypto_hash_sha512_init(&state) == 0;
    const auto update = [&state, &ok](QByteArrayView part) {
        ok = crypto_hash_sha512_update(&state, bytes(part), static_cast<unsigned long long>(part.size())) ==
                 0 &&
             ok;
    };
    update(prependLen(dsi().toByteArray() + "_ISK"));
    update(prependLen(sid));
    QByteArray kField = prependLen(QByteArrayView(k.data(), k.size()));
    update(kField);
    wipe(kField);
    update(msgA);
    update(msgB);
    ok = crypto_hash_sha512_final(&state, isk.data()) == 0 && ok;
    sodium_memzero(&state, sizeof state);
    return ok;
}

} // namespace natter::cpace

#pragma once

#include <QByteArray>

#include <cstdint>

namespace Veltrano {

// SHA-256 (FIPS 180-4), fed in pieces. Gives the same digests as
// QCryptographicHash, whose Qt 5 implementation takes its input a byte at a
// time: the chains hash every stored row, and this one takes whole blocks.
class Sha256
{
public:
    Sha256();
    void addData(const char *data, qsizetype length);
    void addData(const QByteArray &bytes) { addData(bytes.constData(), bytes.size()); }
    // The 32 bytes of the digest; the hash is spent after it.
    QByteArray result();

private:
    void compress(const unsigned char *block);

    std::uint32_t m_state[8];
    unsigned char m_block[64];
    qsizetype m_filled = 0;
    std::uint64_t m_length = 0;
};

} // namespace Veltrano

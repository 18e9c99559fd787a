#include "radio/hls/SegmentCrypto.h"

namespace radio::hls {

KeyUse ClassifyKey(const CHlsKey& key) {
    switch (key.method) {
        case KeyMethod::None:
            return KeyUse::Clear;
        case KeyMethod::SampleAes:
            return KeyUse::SampleAes;
        case KeyMethod::Other:
            return KeyUse::UnsupportedMethod;
        case KeyMethod::Aes128:
            break;
    }
    return key.strKeyFormat == "identity" ? KeyUse::Aes128 : KeyUse::UnsupportedFormat;
}

AesBlock SegmentIv(const CHlsKey& key, uint64_t mediaSequence) {
    if (key.iv) {
        return *key.iv;
    }
    AesBlock iv{};
    for (int i = 0; i < 8; ++i) {
        iv[15 - i] = static_cast<uint8_t>(mediaSequence >> (8 * i));
    }
    return iv;
}

bool RemovePkcs7Padding(std::vector<uint8_t>& data) {
    if (data.empty() || data.size() % 16 != 0) {
        return false;
    }
    const uint8_t n = data.back();
    if (n == 0 || n > 16) {
        return false;
    }
    for (size_t i = data.size() - n; i < data.size(); ++i) {
        if (data[i] != n) {
            return false;
        }
    }
    data.resize(data.size() - n);
    return true;
}

bool CSegmentDecryptor::Feed(std::span<const uint8_t> data, std::vector<uint8_t>& out) {
    if (m_bFailed) {
        return false;
    }
    m_pending.insert(m_pending.end(), data.begin(), data.end());
    // Everything but the last whole block, which may carry the padding.
    if (m_pending.size() <= 16) {
        return true;
    }
    size_t ready = (m_pending.size() - 1) / 16 * 16;
    if (ready == 0) {
        return true;
    }
    const size_t at = out.size();
    out.resize(at + ready);
    if (!m_cipher.Decrypt({m_pending.data(), ready}, out.data() + at, m_iv)) {
        out.resize(at);
        m_bFailed = true;
        return false;
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(ready));
    return true;
}

bool CSegmentDecryptor::Finish(std::vector<uint8_t>& out) {
    if (m_bFailed || m_pending.size() != 16) {
        return false;
    }
    std::vector<uint8_t> last(16);
    if (!m_cipher.Decrypt(m_pending, last.data(), m_iv) || !RemovePkcs7Padding(last)) {
        m_bFailed = true;
        return false;
    }
    m_pending.clear();
    out.insert(out.end(), last.begin(), last.end());
    return true;
}

}  // namespace radio::hls

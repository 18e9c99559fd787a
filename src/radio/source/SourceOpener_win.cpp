#include "radio/source/SourceOpener_win.h"

#include "radio/RadioUrl.h"

namespace radio {

CSourceOpener::CSourceOpener()
    : m_pAbort(std::make_shared<CAbortSignal>()), m_http(m_pAbort), m_file(m_pAbort) {}

std::unique_ptr<ISource> CSourceOpener::Open(const std::u16string& url, UrlOrigin origin,
                                             CRadioFailure& failure) {
    switch (ClassifySource(url)) {
        case SourceKind::Http:
        case SourceKind::Https:
            return m_http.Open(url, origin, failure);
        case SourceKind::File:
            // A playlist from the network naming a local path is refused as
            // an address of an unsupported kind.
            return m_file.Open(url, origin, failure);
        case SourceKind::Unsupported:
            break;
    }
    failure = MakeFailure(RadioError::UnsupportedScheme);
    return nullptr;
}

}  // namespace radio

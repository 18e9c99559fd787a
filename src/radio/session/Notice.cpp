#include "radio/session/Notice.h"

#include <utility>

namespace radio {

bool CNoticeQueue::Push(CNotice notice) {
    const bool wasEmpty = m_notices.empty();
    if (notice.kind == NoticeKind::Media) {
        for (CNotice& pending : m_notices) {
            if (pending.kind == NoticeKind::Media) {
                // The reader has not seen the older item yet; only the
                // newest one matters to it.
                pending.media = std::move(notice.media);
                return false;
            }
        }
    }
    m_notices.push_back(std::move(notice));
    return wasEmpty;
}

std::optional<CNotice> CNoticeQueue::Take() {
    if (m_notices.empty()) {
        return std::nullopt;
    }
    CNotice notice = std::move(m_notices.front());
    m_notices.pop_front();
    return notice;
}

}  // namespace radio

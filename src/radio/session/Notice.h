// What a session tells the control: state changes, the current media item
// and its final failure. The control picks notices up on its own thread, so
// they travel through a queue that a flood of titles cannot grow: a media
// notice replaces the one still waiting instead of queueing behind it.
#pragma once

#include <deque>
#include <optional>

#include "radio/MediaInfo.h"
#include "radio/RadioErrors.h"

namespace radio {

enum class NoticeKind { Started, Stalled, Dropped, Ended, Failed, Media };

struct CNotice {
    NoticeKind kind = NoticeKind::Started;
    CRadioFailure failure;  // Failed
    CStreamInfo media;      // Media
};

// The session's view of its owner: where notices go, and whether the
// session was stopped (checked between steps; the stages' waits return
// early on their own when it happens).
class INoticeSink {
public:
    virtual ~INoticeSink() = default;
    virtual void Post(CNotice notice) = 0;
    virtual bool Cancelled() const = 0;
};

// Notices in order, with at most one media notice pending. Not locked: the
// owner guards it.
class CNoticeQueue {
public:
    // True when the queue was empty before, that is when the reader has to
    // be woken; later notices ride on the same wake-up.
    bool Push(CNotice notice);
    std::optional<CNotice> Take();
    void Clear() { m_notices.clear(); }
    size_t Size() const { return m_notices.size(); }

private:
    std::deque<CNotice> m_notices;
};

}  // namespace radio
